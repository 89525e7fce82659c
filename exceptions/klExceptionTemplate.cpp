#include "exceptions/klException.h"

#include <mutex>

namespace Kiln::Errors {

namespace {

// Written by the first Initialise, read by every exception constructed anywhere;
// the lock makes construction before or during start-up safe.
struct Registry {
    std::mutex mutex;
    std::map<Code, Template> templates;
};

Registry& registry()
{
    static Registry r;
    return r;
}

}  // namespace

void addTemplate(const Template& t)
{
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        if (r.templates.emplace(t.code, t).second) return;
    }
    throw Exceptions::ExException::DuplicateTemplate("Kiln::Errors::addTemplate", __FILE__, __LINE__);
}

Template getTemplate(Code code)
{
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.templates.find(code);
    return it == r.templates.end() ? Template(code) : it->second;
}

bool isRegistered(Code code)
{
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    return r.templates.count(code) != 0;
}

std::size_t templateCount()
{
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    return r.templates.size();
}

}  // namespace Kiln::Errors
