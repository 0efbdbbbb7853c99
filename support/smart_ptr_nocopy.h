// A counted handle that owns one object and cannot be copied. The object is
// destroyed, through its virtual destructor, when the handle is released.
#pragma once

#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>

class null_dereference : public std::logic_error {
public:
    explicit null_dereference(const std::string& text)
        : std::logic_error("null dereference: " + text)
    {
    }
};

template <typename T> class smart_ptr_nocopy {
public:
    smart_ptr_nocopy() : holder(new holder_record{1, nullptr}) {}
    explicit smart_ptr_nocopy(T* device) : holder(make_holder(device)) {}
    smart_ptr_nocopy(const smart_ptr_nocopy&) = delete;
    smart_ptr_nocopy& operator=(const smart_ptr_nocopy&) = delete;

    ~smart_ptr_nocopy()
    {
        if (--holder->count == 0) {
            delete holder->device;
            delete holder;
        }
    }

    T* operator->() const
    {
        if (holder->device == nullptr)
            throw null_dereference("null pointer dereferenced in smart_ptr_nocopy::operator->");
        return holder->device;
    }

    // The held object, or null; lets callers test for one without throwing.
    T* get() const { return holder->device; }

private:
    struct holder_record {
        std::int32_t count;
        T* device;
    };

    // The handle owns the object from the moment it is passed in, so it is
    // destroyed even when the holder cannot be allocated.
    static holder_record* make_holder(T* device)
    {
        try {
            return new holder_record{1, device};
        } catch (const std::bad_alloc&) {
            delete device;
            throw;
        }
    }

    holder_record* holder;
};
