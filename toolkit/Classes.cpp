#include "Classes.h"

#include <algorithm>
#include <utility>

#include "SysUtils.h"

namespace tk {

void TList::Error(int index) { throw EListError(Format(L"List index out of bounds (%d)", {index})); }

void* TList::Get(int index) const {
    if (index < 0 || index >= Count()) Error(index);
    return items_[static_cast<std::size_t>(index)];
}

void TList::Put(int index, void* item) {
    if (index < 0 || index >= Count()) Error(index);
    items_[static_cast<std::size_t>(index)] = item;
}

int TList::Add(void* item) {
    items_.push_back(item);
    return Count() - 1;
}

void TList::Insert(int index, void* item) {
    if (index < 0 || index > Count()) Error(index);
    items_.insert(items_.begin() + index, item);
}

void TList::Delete(int index) {
    if (index < 0 || index >= Count()) Error(index);
    items_.erase(items_.begin() + index);
}

int TList::IndexOf(const void* item) const {
    auto it = std::find(items_.begin(), items_.end(), item);
    return it == items_.end() ? -1 : static_cast<int>(it - items_.begin());
}

int TList::Remove(const void* item) {
    int i = IndexOf(item);
    if (i >= 0) Delete(i);
    return i;
}

void TList::Clear() { items_.clear(); }

void TStringList::Check(int index) const {
    if (index < 0 || index >= Count()) TList::Error(index);
}

const std::wstring& TStringList::Strings(int index) const {
    Check(index);
    return items_[static_cast<std::size_t>(index)].text;
}

std::wstring TStringList::TakeString(int index) {
    Check(index);
    return std::exchange(items_[static_cast<std::size_t>(index)].text, std::wstring());
}

void TStringList::SetStrings(int index, std::wstring s) {
    Check(index);
    items_[static_cast<std::size_t>(index)].text = std::move(s);
}

TObject* TStringList::Objects(int index) const {
    Check(index);
    return items_[static_cast<std::size_t>(index)].object;
}

void TStringList::SetObjects(int index, TObject* object) {
    Check(index);
    items_[static_cast<std::size_t>(index)].object = object;
}

int TStringList::AddObject(std::wstring s, TObject* object) {
    items_.push_back({std::move(s), object});
    return Count() - 1;
}

void TStringList::InsertObject(int index, std::wstring s, TObject* object) {
    if (index < 0 || index > Count()) TList::Error(index);
    items_.insert(items_.begin() + index, Item{std::move(s), object});
}

void TStringList::Delete(int index) {
    Check(index);
    items_.erase(items_.begin() + index);
}

int TStringList::IndexOf(const std::wstring& s) const {
    for (std::size_t i = 0; i < items_.size(); ++i)
        if (items_[i].text == s) return static_cast<int>(i);
    return -1;
}

int TStringList::IndexOfObject(const TObject* object) const {
    for (std::size_t i = 0; i < items_.size(); ++i)
        if (items_[i].object == object) return static_cast<int>(i);
    return -1;
}

TComponent::TComponent(TComponent* owner) : owner_(owner) {
    if (owner_) owner_->InsertComponent(this);
}

void TComponent::RemoveFreeNotifications() {
    state_ |= csDestroying;
    // Everyone holding a reference to us drops it now.
    std::vector<TComponent*> notify = std::move(freeNotifies_);
    freeNotifies_.clear();
    for (TComponent* c : notify) {
        auto& back = c->freeNotifies_;
        back.erase(std::remove(back.begin(), back.end(), this), back.end());
        c->Notification(this, opRemove);
    }
}

TComponent::~TComponent() {
    RemoveFreeNotifications();
    // Destroy owned components, newest first.
    while (!components_.empty()) {
        TComponent* c = components_.back();
        components_.pop_back();
        c->owner_ = nullptr;
        Notification(c, opRemove);
        delete c;
    }
    if (owner_) owner_->RemoveComponent(this);
}

void TComponent::Loaded() { state_ &= ~static_cast<std::uint32_t>(csLoading); }

void TComponent::FreeNotification(TComponent* other) {
    if (!other || other == this) return;
    // Notices are kept on both sides so whichever dies first tells the other.
    if (std::find(other->freeNotifies_.begin(), other->freeNotifies_.end(), this) == other->freeNotifies_.end())
        other->freeNotifies_.push_back(this);
    if (std::find(freeNotifies_.begin(), freeNotifies_.end(), other) == freeNotifies_.end())
        freeNotifies_.push_back(other);
}

void TComponent::RemoveFreeNotification(TComponent* other) {
    if (!other) return;
    auto drop = [](std::vector<TComponent*>& v, TComponent* c) { v.erase(std::remove(v.begin(), v.end(), c), v.end()); };
    drop(other->freeNotifies_, this);
    drop(freeNotifies_, other);
}

void TComponent::Notification(TComponent* component, TOperation operation) {
    // Owned components hear about each other's insertion and removal.
    if (operation == opRemove && component) {
        auto& v = freeNotifies_;
        v.erase(std::remove(v.begin(), v.end(), component), v.end());
    }
}

void TComponent::InsertComponent(TComponent* c) {
    components_.push_back(c);
    for (TComponent* other : std::vector<TComponent*>(components_))
        if (other != c) other->Notification(c, opInsert);
}

void TComponent::RemoveComponent(TComponent* c) {
    components_.erase(std::remove(components_.begin(), components_.end(), c), components_.end());
    if (!IsDestroying())
        for (TComponent* other : std::vector<TComponent*>(components_)) other->Notification(c, opRemove);
    Notification(c, opRemove);
}

}  // namespace tk
