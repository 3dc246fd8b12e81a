// Lists and the component model: owners that destroy what they own, a
// loading state while stored properties are applied, and removal notices
// between components that refer to each other.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Method.h"

namespace tk {

// Ordered, growable list of untyped pointers. An index outside the list
// raises EListError "List index out of bounds (%d)".
class TList : public TObject {
public:
    TList() = default;
    TList(const TList&) = delete;
    TList& operator=(const TList&) = delete;
    ~TList() override = default;

    int Count() const { return static_cast<int>(items_.size()); }
    void* Get(int index) const;
    void Put(int index, void* item);
    int Add(void* item);
    void Insert(int index, void* item);
    void Delete(int index);
    int IndexOf(const void* item) const;
    int Remove(const void* item);
    virtual void Clear();

    [[noreturn]] static void Error(int index);

protected:
    std::vector<void*>& Items() { return items_; }

private:
    std::vector<void*> items_;
};

// Lines a list can be made of when they are first read: a file's lines
// kept as one text instead of a string each.
class TLineSource {
public:
    virtual ~TLineSource() = default;
    virtual int Count() const = 0;
    virtual std::wstring Line(int index) const = 0;
};

// Ordered list of strings, each of which may carry an object reference.
// The list never owns the objects.
class TStringList : public TObject {
public:
    int Count() const { return static_cast<int>(items_.size()); }
    const std::wstring& Strings(int index) const;
    void SetStrings(int index, std::wstring s);
    // Moves the string out (the item stays, empty): for a reader that keeps
    // the text elsewhere and drops the list.
    std::wstring TakeString(int index);
    TObject* Objects(int index) const;
    void SetObjects(int index, TObject* object);
    int Add(std::wstring s) { return AddObject(std::move(s), nullptr); }
    int AddObject(std::wstring s, TObject* object);
    void Insert(int index, std::wstring s) { InsertObject(index, std::move(s), nullptr); }
    void InsertObject(int index, std::wstring s, TObject* object);
    void Delete(int index);
    void Clear() { items_.clear(); }
    // Exact comparison of the texts; -1 when absent.
    int IndexOf(const std::wstring& s) const;
    int IndexOfObject(const TObject* object) const;
    void Assign(const TStringList& other) { items_ = other.items_; }
    void Swap(TStringList& other) noexcept { items_.swap(other.items_); }
    void Reserve(std::size_t n) { items_.reserve(n); }

private:
    void Check(int index) const;
    struct Item {
        std::wstring text;
        TObject* object;
    };
    std::vector<Item> items_;
};

enum TOperation { opInsert, opRemove };

enum TComponentStateFlag : std::uint32_t {
    csLoading = 1u << 0,
    csDestroying = 1u << 1,
};

class TComponent : public TObject {
public:
    explicit TComponent(TComponent* owner);
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;
    // Tells everyone who asked for a removal notice, then destroys the
    // owned components (last created first).
    ~TComponent() override;

    TComponent* Owner() const { return owner_; }
    const std::wstring& Name() const { return name_; }
    void SetName(std::wstring name) { name_ = std::move(name); }
    int ComponentCount() const { return static_cast<int>(components_.size()); }
    TComponent* Components(int index) const { return components_.at(static_cast<std::size_t>(index)); }

    std::uint32_t ComponentState() const { return state_; }
    bool IsLoading() const { return (state_ & csLoading) != 0; }
    bool IsDestroying() const { return (state_ & csDestroying) != 0; }

    // Enters the loading state; stored properties are applied after this.
    void BeginLoading() { state_ |= csLoading; }
    // End-of-loading notification, called once all stored properties of the
    // owner's layout are in place. Overrides call the base first.
    virtual void Loaded();

    // Asks `other` to send this component Notification(other, opRemove)
    // when it is destroyed.
    void FreeNotification(TComponent* other);
    void RemoveFreeNotification(TComponent* other);
    virtual void Notification(TComponent* component, TOperation operation);

    // Sets a published boolean property by its name (e.g. "Checked" of a
    // check box); false when the class has no such property.
    virtual bool SetBooleanProperty(const std::wstring& name, bool value) {
        (void)name;
        (void)value;
        return false;
    }

    // Puts the owner and all its components into the loading state, runs
    // `apply` (which sets the stored properties), then sends every one of
    // them Loaded, owned components first and the owner last.
    template <class F>
    static void LoadLayout(TComponent* root, F&& apply) {
        root->BeginLoading();
        for (TComponent* c : root->components_) c->BeginLoading();
        apply();
        std::vector<TComponent*> list = root->components_;
        for (TComponent* c : list) c->Loaded();
        root->Loaded();
    }

protected:
    // Sends the removal notices now instead of in ~TComponent, while the
    // derived object is still whole: for destructors of components that the
    // notified ones call back during the notice.
    void RemoveFreeNotifications();

private:
    void InsertComponent(TComponent* c);
    void RemoveComponent(TComponent* c);

    TComponent* owner_;
    std::wstring name_;
    std::uint32_t state_ = 0;
    std::vector<TComponent*> components_;
    std::vector<TComponent*> freeNotifies_;
};

}  // namespace tk
