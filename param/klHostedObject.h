#pragma once
// Named, reference-counted objects and the store that keeps them by name.
//
// A HostedSet holds one reference to every object it was given (hsAddObject
// adds a reference; the caller keeps and releases its own) and maps every
// object's own name and every alias to it. Objects are kept in order of addition.
#include "exceptions/klException.h"
#include "exceptions/klRefCounter.h"

#include <algorithm>
#include <iosfwd>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace Kiln {

class HostedObject : public KlRefCounter {
public:
    explicit HostedObject(std::string name) : name_(std::move(name)) { }
    ~HostedObject() override;

    const std::string& name() const { return name_; }
    const std::string& label() const { return label_; }
    const std::string& description() const { return description_; }
    bool valid() const { return valid_; }
    void setLabel(const std::string& label) { label_ = label; }
    void setDescription(const std::string& description) { description_ = description; }
    void setValid(bool valid) { valid_ = valid; }

    // " name='<name>' " and, when full, "description='...' " and "label='...' "
    // for those that are not empty (values escaped).
    virtual void writeAttributes(std::ostream& out, bool full) const;

private:
    std::string name_;
    std::string label_;
    std::string description_;
    bool valid_ = false;
};

// The full names of the raising operations of HostedSet<T>; specialised next to T.
template <class T>
struct HostedSetTraits;

template <class T>
class HostedSet {
    using Names = HostedSetTraits<T>;

public:
    HostedSet() = default;
    HostedSet(const HostedSet&) = delete;
    HostedSet& operator=(const HostedSet&) = delete;
    ~HostedSet()
    {
        for (T* object : objects_) object->release();
    }

    // Appends the object and maps its name to it (replacing an alias of that
    // name); DuplicateObject when an object of that name is already held.
    void hsAddObject(T* object)
    {
        if (object == nullptr)
            throw Kiln::Exceptions::NullPointer(Names::addObject, __FILE__, __LINE__, "object");
        for (T* held : objects_)
            if (held->name() == object->name())
                throw Kiln::Exceptions::DuplicateObject(Names::addObject, __FILE__, __LINE__, object->name());
        objects_.push_back(object);
        object->addRef();
        names_[object->name()] = object;
    }

    // The object (or alias target) of that name; null when missing and raise is
    // false, ObjectUndefined when missing and raise is true.
    T* hsGetObject(const std::string& name, bool raise) const
    {
        auto it = names_.find(name);
        if (it != names_.end()) return it->second;
        if (raise) throw Kiln::Exceptions::ObjectUndefined(Names::getObject, __FILE__, __LINE__, name);
        return nullptr;
    }

    bool hsHasName(const std::string& name) const { return names_.count(name) != 0; }

    // Maps alias to the object that target maps to (replacing an earlier alias).
    void hsAliasObject(const std::string& alias, const std::string& target)
    {
        for (T* held : objects_)
            if (held->name() == alias)
                throw Kiln::Exceptions::DuplicateObject(Names::aliasObject, __FILE__, __LINE__, alias);
        auto it = names_.find(target);
        if (it == names_.end())
            throw Kiln::Exceptions::ObjectUndefined(Names::aliasObject, __FILE__, __LINE__, target);
        names_[alias] = it->second;
    }

    // hsGetObject with raising on, then a down-cast that admits classes derived
    // from U; another class gives null, or WrongType when raiseIfWrongType is set.
    template <class U>
    U* hsGetAndCastObject(const std::string& name, bool raiseIfWrongType) const
    {
        T* object = hsGetObject(name, true);
        U* cast = dynamic_cast<U*>(object);
        if (cast == nullptr && raiseIfWrongType)
            throw Kiln::Exceptions::WrongType(Names::getAndCastObject, __FILE__, __LINE__);
        return cast;
    }

    // Takes the object out with its own name and every alias that leads to it,
    // and drops the set's reference. ObjectUndefined when the set does not hold it.
    void hsRemoveObject(T* object)
    {
        auto it = std::find(objects_.begin(), objects_.end(), object);
        if (it == objects_.end())
            throw Kiln::Exceptions::ObjectUndefined(Names::removeObject, __FILE__, __LINE__,
                                                    object ? object->name() : std::string());
        objects_.erase(it);
        for (auto n = names_.begin(); n != names_.end();) {
            if (n->second == object)
                n = names_.erase(n);
            else
                ++n;
        }
        object->release();
    }

    const std::vector<T*>& hsObjects() const { return objects_; }
    const std::map<std::string, T*>& hsNames() const { return names_; }

private:
    std::vector<T*> objects_;
    std::map<std::string, T*> names_;
};

// An owning pointer to a reference-counted object: adopts the reference it is
// built with, adds one per copy and releases its own on destruction.
template <class T>
class RefPtr {
public:
    RefPtr() = default;
    explicit RefPtr(T* adopted) : p_(adopted) { }
    RefPtr(const RefPtr& o) : p_(o.p_)
    {
        if (p_) p_->addRef();
    }
    RefPtr(RefPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) { }
    RefPtr& operator=(RefPtr o) noexcept
    {
        std::swap(p_, o.p_);
        return *this;
    }
    ~RefPtr()
    {
        if (p_) p_->release();
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T& operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T* p_ = nullptr;
};

}  // namespace Kiln
