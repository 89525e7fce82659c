#pragma once
// A suite of the host's suite broker held for one scope: acquired on construction, released on
// destruction (whatever way the scope is left). get() is null when the host does not offer it.
#include "sdk/klHostAPI.h"

namespace Kiln::AfterEffects {

template <class Suite>
class AcquiredSuite {
public:
    AcquiredSuite(const PF_InData* in_data, const char* name, A_long version) : name_(name), version_(version)
    {
        basic_ = in_data ? in_data->pica_basicP : nullptr;
        if (basic_ == nullptr || basic_->AcquireSuite == nullptr) return;
        const void* suite = nullptr;
        if (basic_->AcquireSuite(name, version, &suite) != PF_Err_NONE) return;
        acquired_ = true;
        suite_ = static_cast<const Suite*>(suite);
    }
    ~AcquiredSuite()
    {
        if (acquired_ && basic_->ReleaseSuite) basic_->ReleaseSuite(name_, version_);
    }
    AcquiredSuite(const AcquiredSuite&) = delete;
    AcquiredSuite& operator=(const AcquiredSuite&) = delete;

    const Suite* get() const { return suite_; }
    const Suite* operator->() const { return suite_; }
    explicit operator bool() const { return suite_ != nullptr; }

private:
    const SPBasicSuite* basic_ = nullptr;
    const char* name_;
    A_long version_;
    bool acquired_ = false;
    const Suite* suite_ = nullptr;
};

}  // namespace Kiln::AfterEffects
