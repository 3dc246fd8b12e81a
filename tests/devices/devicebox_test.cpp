// The device selector box against a serial component whose port list the
// test controls (the simulated driver answers the opens).
#include <windows.h>
// clang-format off
#include <dbt.h>
// clang-format on
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "CommTestKit.h"
#include "Forms.h"
#include "SimDriver.h"
#include "pwcomm.h"
#include "pwcommbox.h"

namespace {

// A serial component whose device list is the test's list of port numbers.
class TListedComm : public TpwComm {
public:
    using TpwComm::TpwComm;
    std::vector<int> ports;
    int loads = 0;

protected:
    void DeviceListLoad() override {
        ++loads;
        for (int n : ports) {
            auto* d = new TpwDevice();
            d->NameFriendly = L"COM" + std::to_wstring(n);
            d->PortName = d->NameFriendly;
            d->Data = n;
            AddDevice(d);
        }
    }
};

// Stands for the user's pick: the control's own change handling.
class TBox : public TpwDeviceBox {
public:
    using TpwDeviceBox::TpwDeviceBox;
    void Pick(int index) {
        SetItemIndex(index);
        Change();
    }
};

struct TChanges : tk::TObject {
    int n = 0;
    void Changed(tk::TObject*) { ++n; }
};

class DeviceBox : public ::testing::Test {
protected:
    void SetUp() override {
        for (const wchar_t* p : {L"COM1", L"COM3", L"COM4"}) drv.AddPort(p);
        form = new tk::TForm(nullptr);
        comm = new TListedComm(form);
        comm->ports = {1, 4};
        comm->SetComPortNo(4);
        box = NewBox();
    }
    void TearDown() override { delete form; }
    TBox* NewBox() {
        auto* b = new TBox(form);
        b->SetParent(form);
        b->SetOnChange(tk::TNotifyEvent(&changes, &TChanges::Changed));
        return b;
    }
    std::vector<std::wstring> Texts(TBox* b) {
        std::vector<std::wstring> t;
        for (int i = 0; i < b->Items().Count(); ++i) t.push_back(b->Items().Strings(i));
        return t;
    }
    using Names = std::vector<std::wstring>;

    sim::Driver drv;
    commtest::TRecorder rec;  // outlives the component it listens to
    tk::TForm* form = nullptr;
    TListedComm* comm = nullptr;
    TBox* box = nullptr;
    TChanges changes;
};

}  // namespace

TEST_F(DeviceBox, BindingLoadsOrCopiesTheListAndShowsTheComponentsPort) {
    EXPECT_EQ(tk::csDropDownList, box->Style());
    box->SetpwComm(comm);
    EXPECT_EQ(1, comm->loads);
    EXPECT_EQ((Names{L"COM1", L"COM4"}), Texts(box));
    EXPECT_EQ(1, box->ItemIndex());
    box->Reload();  // the list is there: only copied
    EXPECT_EQ(1, comm->loads);
    EXPECT_EQ(1, box->ItemIndex());

    comm->SetComPortNo(3);  // not listed: code 3 reloads, no selection
    EXPECT_EQ(-1, box->ItemIndex());
    EXPECT_EQ((Names{L"COM1", L"COM4"}), Texts(box));
}

TEST_F(DeviceBox, PickingMovesTheComponentEvenToTheSamePort) {
    box->SetpwComm(comm);
    rec.Attach(*comm);
    box->Pick(0);
    EXPECT_EQ(1, comm->ComPortNo());
    EXPECT_EQ(0, box->ItemIndex());
    EXPECT_EQ(1, changes.n);

    comm->SetActive(true);
    ASSERT_TRUE(comm->Active());
    rec.codes.clear();
    box->Pick(0);  // the same entry: closed and reopened all the same
    EXPECT_TRUE(comm->Active());
    EXPECT_EQ((std::vector<std::int32_t>{1, 2, 3}), rec.codes);
    EXPECT_EQ(2, changes.n);
    EXPECT_EQ(drv.Calls("CreateFileW").back().name, L"\\\\?\\COM1");
}

TEST_F(DeviceBox, TheBoxFollowsDeviceArrivalAndRemoval) {
    box->SetpwComm(comm);
    comm->ports = {1, 3, 4};
    comm->Update();
    EXPECT_EQ((Names{L"COM1", L"COM3", L"COM4"}), Texts(box));
    EXPECT_EQ(2, box->ItemIndex());  // COM4 still
    comm->ports = {1, 3};
    comm->Update();
    EXPECT_EQ((Names{L"COM1", L"COM3"}), Texts(box));
    EXPECT_EQ(-1, box->ItemIndex());
    EXPECT_EQ(0, changes.n);
}

TEST_F(DeviceBox, AfterTheComponentIsGoneTheItemsStayAndPicksDoNothing) {
    box->SetpwComm(comm);
    delete comm;
    comm = nullptr;
    EXPECT_EQ(nullptr, box->pwComm());
    EXPECT_EQ((Names{L"COM1", L"COM4"}), Texts(box));
    EXPECT_EQ(-1, box->ItemIndex());
    box->Pick(0);
    EXPECT_EQ(0, changes.n);
    EXPECT_FALSE(box->WMDeviceChange(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0));
}

TEST_F(DeviceBox, RebindingDestroyingAndSharingAComponent) {
    box->SetpwComm(comm);
    auto* other = new TListedComm(form);
    other->ports = {3};
    other->SetComPortNo(3);
    box->SetpwComm(other);
    EXPECT_EQ((Names{L"COM3"}), Texts(box));
    comm->ports = {1};
    comm->Update();  // the first component no longer reaches the box
    EXPECT_EQ((Names{L"COM3"}), Texts(box));

    // Two boxes on one component: both follow it, and destroying one leaves
    // the other's registration alone.
    TBox* second = NewBox();
    second->SetpwComm(other);
    other->ports = {3, 4};
    other->Update();
    EXPECT_EQ((Names{L"COM3", L"COM4"}), Texts(box));
    EXPECT_EQ((Names{L"COM3", L"COM4"}), Texts(second));
    delete second;
    other->ports = {4};
    other->Update();
    EXPECT_EQ((Names{L"COM4"}), Texts(box));

    box->SetpwComm(nullptr);
    other->Update();
    EXPECT_EQ(0, box->Items().Count());
}

TEST_F(DeviceBox, AFailedReopenLeavesTheSelectionHandling) {
    comm->ports = {1, 4, 9};  // COM9 is listed but cannot be opened
    box->SetpwComm(comm);
    comm->SetActive(true);
    ASSERT_TRUE(comm->Active());
    commtest::TMessageBoxCatcher boxes;
    try {
        box->Pick(2);
    } catch (const tk::Exception&) {
    }
    EXPECT_EQ(9, comm->ComPortNo());
    EXPECT_FALSE(comm->Active());
    EXPECT_EQ(0, changes.n);
}
