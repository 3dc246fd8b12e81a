#include "pwcommbox.h"

TpwDeviceBox::TpwDeviceBox(tk::TComponent* AOwner) : tk::TComboBox(AOwner) {
    SetStyle(tk::csDropDownList);
}

TpwDeviceBox::~TpwDeviceBox() {
    if (fComm) fComm->NotifyDelete(NotifyEvent());
}

void TpwDeviceBox::SetpwComm(TpwBaseIO* Value) {
    Items().Clear();
    SetItemIndex(-1);
    if (Value) {
        // Rebinding the same component keeps its one registration: this
        // also runs from inside the component's own notification loop.
        if (fComm && fComm != Value) fComm->NotifyDelete(NotifyEvent());
        tk::TStringList devices;
        Value->GetDeviceList(&devices);
        Items().BeginUpdate();
        for (int i = 0; i < devices.Count(); ++i)
            Items().AddObject(devices.Strings(i), devices.Objects(i));
        Items().EndUpdate();
        SetItemIndex(Value->DeviceIndex());
        Value->NotifyAdd(NotifyEvent());
        Value->FreeNotification(this);
    } else if (fComm) {
        fComm->NotifyDelete(NotifyEvent());
    }
    fComm = Value;
}

bool TpwDeviceBox::WMDeviceChange(UINT Msg, WPARAM WParam, LPARAM LParam) {
    return fComm ? fComm->WMDeviceChange(Msg, WParam, LParam) : false;
}

void TpwDeviceBox::Change() {
    if (!fComm) return;
    const int index = ItemIndex();
    if (index < 0 || index >= fComm->DeviceCount()) return;
    // The component reopens on the new device and answers with code 3, on
    // which the box reloads; an open failure that raises ends here.
    fComm->SetDeviceIndex(index);
    tk::TComboBox::Change();
}

void TpwDeviceBox::Notification(tk::TComponent* AComponent, tk::TOperation Operation) {
    tk::TComboBox::Notification(AComponent, Operation);
    if (Operation == tk::opRemove && AComponent && AComponent == fComm) {
        fComm = nullptr;
        SetItemIndex(-1);
    }
}

void TpwDeviceBox::CommNotify(tk::TObject* /*Sender*/, std::int32_t Code) {
    if (Code == pwNotifyChanged) Reload();
}
