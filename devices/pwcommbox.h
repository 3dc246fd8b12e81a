// A drop-down list of the devices of one I/O component: picking an entry
// moves the component to that device, and the box follows the component's
// list and selection through its notifications.
#pragma once

#include "StdCtrls.h"
#include "pwclasses.h"

class TpwDeviceBox : public tk::TComboBox {
public:
    explicit TpwDeviceBox(tk::TComponent* AOwner);
    ~TpwDeviceBox() override;

    // Binding re-reads the items and the selection from the component.
    TpwBaseIO* pwComm() const { return fComm; }
    void SetpwComm(TpwBaseIO* Value);
    // Stored with the layout; nothing consults it.
    bool ResetOnChanged() const { return fReset; }
    void SetResetOnChanged(bool Value) { fReset = Value; }

    void Reload() { SetpwComm(fComm); }
    // Hands a device-change message to the bound component.
    virtual bool WMDeviceChange(UINT Msg, WPARAM WParam, LPARAM LParam);

protected:
    void Change() override;
    void Notification(tk::TComponent* AComponent, tk::TOperation Operation) override;

private:
    void CommNotify(tk::TObject* Sender, std::int32_t Code);
    TpwNotifyEvent NotifyEvent() { return TpwNotifyEvent(this, &TpwDeviceBox::CommNotify); }

    TpwBaseIO* fComm = nullptr;
    bool fReset = false;
};
