// A callback bound to an object: the object pointer plus one of its member
// functions. Unlike std::function it can be compared, both as a whole and by
// its function part alone (listener lists look entries up that way).
#pragma once

#include <cstring>
#include <type_traits>
#include <utility>

namespace tk {

template <class Sig>
class TMethod;

template <class R, class... A>
class TMethod<R(A...)> {
public:
    TMethod() = default;

    template <class C, class M>
        requires std::is_member_function_pointer_v<M>
    TMethod(C* object, M function) : obj_(static_cast<void*>(object)) {
        using Class = std::remove_cv_t<C>;
        using Fn = R (Class::*)(A...);
        Fn fn = function;
        static_assert(sizeof(Fn) <= sizeof(fn_), "member pointer too large");
        std::memcpy(fn_, &fn, sizeof(Fn));
        thunk_ = [](void* o, const unsigned char* raw, A... args) -> R {
            Fn f;
            std::memcpy(&f, raw, sizeof(Fn));
#if defined(__GNUC__) && !defined(__clang__)
// GCC warns, for objects smaller than a pointer, about the virtual-function
// branch of a member-pointer call that a non-virtual target never takes.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
            return (static_cast<Class*>(o)->*f)(std::forward<A>(args)...);
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
        };
    }

    explicit operator bool() const { return thunk_ != nullptr; }
    bool Assigned() const { return thunk_ != nullptr; }

    R operator()(A... args) const { return thunk_(obj_, fn_, std::forward<A>(args)...); }

    // The object the callback is bound to (may be null for an unset callback).
    void* Data() const { return obj_; }

    // True when both refer to the same member function, whatever their objects.
    bool SameFunction(const TMethod& other) const {
        return thunk_ == other.thunk_ && std::memcmp(fn_, other.fn_, sizeof(fn_)) == 0;
    }
    bool operator==(const TMethod& other) const {
        return obj_ == other.obj_ && SameFunction(other);
    }

private:
    using Thunk = R (*)(void*, const unsigned char*, A...);
    void* obj_ = nullptr;
    Thunk thunk_ = nullptr;
    alignas(void*) unsigned char fn_[3 * sizeof(void*)] = {};
};

// The plain "event (Sender)" of components and controls.
class TObject;
using TNotifyEvent = TMethod<void(TObject*)>;

// Root of the toolkit's class hierarchy; gives every object a virtual
// destructor so owners may delete through a base pointer.
class TObject {
public:
    virtual ~TObject() = default;
};

}  // namespace tk
