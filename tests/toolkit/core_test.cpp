// The toolkit core: bound callbacks, format and integer reading, lists, the
// component model, the application object's helpers and the grid model.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Application.h"
#include "Classes.h"
#include "GridModel.h"
#include "Method.h"
#include "SysUtils.h"

namespace {

// ---------------------------------------------------------------------------
// TMethod

struct TTarget {
    int hits = 0;
    void A(int n) { hits += n; }
    void B(int n) { hits -= n; }
    virtual void V(int n) { hits += 10 * n; }
    virtual ~TTarget() = default;
};
struct TDerivedTarget : TTarget {
    void V(int n) override { hits += 100 * n; }
};

using TIntEvent = tk::TMethod<void(int)>;

TEST(Method, UnsetCallbackIsNotAssignedAndEqualsAnotherUnset) {
    TIntEvent e;
    EXPECT_FALSE(e.Assigned());
    EXPECT_FALSE(static_cast<bool>(e));
    EXPECT_TRUE(e == TIntEvent());
    EXPECT_EQ(e.Data(), nullptr);
}

TEST(Method, ComparesWholeAndByFunctionPart) {
    TTarget x, y;
    TIntEvent xa(&x, &TTarget::A), xa2(&x, &TTarget::A), ya(&y, &TTarget::A), xb(&x, &TTarget::B);
    EXPECT_TRUE(xa == xa2);
    EXPECT_FALSE(xa == ya);
    EXPECT_TRUE(xa.SameFunction(ya));
    EXPECT_FALSE(xa.SameFunction(xb));
    EXPECT_FALSE(xa == xb);
    EXPECT_FALSE(xa.SameFunction(TIntEvent()));
    EXPECT_EQ(xa.Data(), &x);
}

TEST(Method, CallsTheBoundObjectAndDispatchesVirtually) {
    TDerivedTarget d;
    TIntEvent a(&d, &TTarget::A);
    a(3);
    EXPECT_EQ(d.hits, 3);
    TIntEvent v(static_cast<TTarget*>(&d), &TTarget::V);
    v(1);
    EXPECT_EQ(d.hits, 103);
}

TEST(Method, ReferenceParametersAnswerTheCaller) {
    struct TVeto {
        int calls = 0;
        void On(bool& flag) {
            ++calls;
            flag = false;
        }
    } veto;
    tk::TMethod<void(bool&)> e(&veto, &TVeto::On);
    bool flag = true;
    e(flag);
    EXPECT_FALSE(flag);
    EXPECT_EQ(veto.calls, 1);
}

// ---------------------------------------------------------------------------
// Format

TEST(Format, PlaceholdersAndWidths) {
    EXPECT_EQ(tk::Format(L"%d|%5d|%0d|%2d", {-12, 42, 7, -123}), L"-12|   42|7|-123");
    EXPECT_EQ(tk::Format(L"[%3s]", {L"abcdef"}), L"[abcdef]");  // width is a minimum
    EXPECT_EQ(tk::Format(L"[%6s]", {L"ab"}), L"[    ab]");
    EXPECT_EQ(tk::Format(L"%X %2X %4X", {255, 10, 0xBEEF}), L"FF  A BEEF");
    EXPECT_EQ(tk::Format(L"100%%", {}), L"100%");
    EXPECT_EQ(tk::Format(L"%s=%u", {std::wstring(L"n"), 7u}), L"n=7");
}

TEST(Format, NegativeValuesAsUnsignedAndHexAre32Bit) {
    EXPECT_EQ(tk::Format(L"%u", {-1}), L"4294967295");
    EXPECT_EQ(tk::Format(L"%X", {-1}), L"FFFFFFFF");
    EXPECT_EQ(tk::Format(L"%X", {-2147483647 - 1}), L"80000000");
    EXPECT_EQ(tk::Format(L"%u", {4294967295u}), L"4294967295");
    EXPECT_EQ(tk::Format(L"%d", {4294967295u}), L"4294967295");
}

TEST(Format, MissingOrMismatchedArgumentsRaise) {
    EXPECT_THROW(tk::Format(L"%d %d", {1}), tk::EConvertError);
    EXPECT_THROW(tk::Format(L"%s", {1}), tk::EConvertError);
    EXPECT_THROW(tk::Format(L"%d", {L"x"}), tk::EConvertError);
    EXPECT_THROW(tk::Format(L"%q", {1}), tk::EConvertError);
    EXPECT_THROW(tk::Format(L"%-5d", {1}), tk::EConvertError);
    EXPECT_THROW(tk::Format(L"50%", {}), tk::EConvertError);
    EXPECT_THROW(tk::Format(L"%99999d", {1}), tk::EConvertError);
}

// ---------------------------------------------------------------------------
// StrToInt

struct TIntCase {
    const wchar_t* text;
    bool ok;
    std::int32_t value;
};

TEST(StrToInt, DecimalAndHexadecimalForms) {
    const TIntCase cases[] = {
        {L"0", true, 0},
        {L"  12", true, 12},
        {L"+5", true, 5},
        {L"-5", true, -5},
        {L"2147483647", true, 2147483647},
        {L"-2147483648", true, -2147483647 - 1},
        {L"$FF", true, 255},
        {L"x1f", true, 31},
        {L"X1F", true, 31},
        {L"0x1F", true, 31},
        {L"0XfF", true, 255},
        {L"-$10", true, -16},
        {L"$FFFFFFFF", true, -1},
        {L"$80000000", true, -2147483647 - 1},
        {L"007", true, 7},
    };
    for (const auto& c : cases) {
        std::int32_t v = 12345;
        EXPECT_EQ(tk::TryStrToInt(c.text, v), c.ok) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
    }
}

TEST(StrToInt, RejectsOverflowJunkAndEmptyDigitsWithoutTouchingTheValue) {
    const wchar_t* bad[] = {
        L"",           L" ",   L"+",   L"-",   L"2147483648", L"-2147483649",
        L"$100000000", L"0x",  L"$",   L"x",   L"12 ",        L"1 2",
        L"\t12",       L"12a", L"$G1", L"1e3", L"--1",        L"99999999999999999999"};
    for (const wchar_t* t : bad) {
        std::int32_t v = 77;
        EXPECT_FALSE(tk::TryStrToInt(t, v)) << t;
        EXPECT_EQ(v, 77) << t;
    }
}

TEST(StrToInt, ErrorNamesTheText) {
    try {
        tk::StrToInt(L"abc");
        ADD_FAILURE() << "no error";
    } catch (const tk::EConvertError& e) {
        EXPECT_EQ(e.Message(), L"''abc'' is not a valid integer value");
    }
    EXPECT_EQ(tk::StrToInt(L"$7F"), 127);
}

TEST(Text, FullStopOnlyAfterCharactersAboveTheDot) {
    EXPECT_EQ(tk::WithFullStop(L"Error"), L"Error.");
    EXPECT_EQ(tk::WithFullStop(L"Error 5"), L"Error 5.");
    EXPECT_EQ(tk::WithFullStop(L"Done!"), L"Done!");
    EXPECT_EQ(tk::WithFullStop(L"(x)"), L"(x)");
    EXPECT_EQ(tk::WithFullStop(L"End."), L"End.");
    EXPECT_EQ(tk::WithFullStop(L""), L"");
}

TEST(Text, BytesMapToTheSameCodes) {
    EXPECT_EQ(tk::BytesToLatin1(std::string("A\0\xE9\xFF", 4)),
              std::wstring(L"A\0\u00E9\u00FF", 4));
}

TEST(Text, AnsiRoundTripAndLocaleComparison) {
    EXPECT_EQ(tk::AnsiToWide(tk::WideToAnsi(L"COM1 ok")), L"COM1 ok");
    EXPECT_TRUE(tk::SameTextLocale(L"com3", L"COM3"));
    EXPECT_FALSE(tk::SameTextLocale(L"COM3", L"COM30"));
}

TEST(Text, ExceptionMessageIsKeptAndNarrowedForWhat) {
    tk::Exception e(L"bad \u00E9");
    EXPECT_EQ(e.Message(), L"bad \u00E9");
    EXPECT_STREQ(e.what(), "bad ?");
    e.SetMessage(L"new");
    EXPECT_STREQ(e.what(), "new");
}

// ---------------------------------------------------------------------------
// Lists

template <class F>
std::wstring ListErrorOf(F f) {
    try {
        f();
    } catch (const tk::EListError& e) {
        return e.Message();
    }
    return L"(no error)";
}

TEST(List, IndexErrorsNameTheIndex) {
    tk::TList l;
    int a = 1, b = 2;
    l.Add(&a);
    l.Add(&b);
    EXPECT_EQ(ListErrorOf([&] { l.Get(2); }), L"List index out of bounds (2)");
    EXPECT_EQ(ListErrorOf([&] { l.Put(-1, &a); }), L"List index out of bounds (-1)");
    EXPECT_EQ(ListErrorOf([&] { l.Delete(5); }), L"List index out of bounds (5)");
    EXPECT_EQ(ListErrorOf([&] { l.Insert(3, &a); }), L"List index out of bounds (3)");
    l.Insert(2, &a);  // insert at the end is allowed
    EXPECT_EQ(l.Count(), 3);
}

TEST(List, InsertDeleteRemoveAndIndexOf) {
    tk::TList l;
    int a = 1, b = 2, c = 3;
    l.Add(&a);
    l.Add(&c);
    l.Insert(1, &b);
    EXPECT_EQ(l.Get(1), &b);
    EXPECT_EQ(l.IndexOf(&c), 2);
    EXPECT_EQ(l.Remove(&b), 1);
    EXPECT_EQ(l.Remove(&b), -1);
    EXPECT_EQ(l.IndexOf(&c), 1);
    l.Put(0, &c);
    EXPECT_EQ(l.IndexOf(&c), 0);
    l.Clear();
    EXPECT_EQ(l.Count(), 0);
}

TEST(StringList, ObjectsTravelWithTheirStrings) {
    tk::TStringList l;
    tk::TObject o1, o2;
    l.Add(L"b");
    l.AddObject(L"c", &o2);
    l.InsertObject(0, L"a", &o1);
    ASSERT_EQ(l.Count(), 3);
    EXPECT_EQ(l.Strings(0), L"a");
    EXPECT_EQ(l.Objects(0), &o1);
    EXPECT_EQ(l.Objects(1), nullptr);
    EXPECT_EQ(l.IndexOf(L"c"), 2);
    EXPECT_EQ(l.IndexOf(L"C"), -1);  // exact comparison
    EXPECT_EQ(l.IndexOfObject(&o2), 2);
    l.Delete(0);
    EXPECT_EQ(l.IndexOfObject(&o1), -1);
    l.SetStrings(0, L"B");
    l.SetObjects(0, &o1);
    EXPECT_EQ(l.Strings(0), L"B");
    EXPECT_EQ(l.Objects(0), &o1);
    tk::TStringList copy;
    copy.Assign(l);
    EXPECT_EQ(copy.Count(), 2);
    EXPECT_EQ(copy.Objects(1), &o2);
    EXPECT_EQ(ListErrorOf([&] { l.Strings(2); }), L"List index out of bounds (2)");
    EXPECT_EQ(ListErrorOf([&] { l.Objects(-1); }), L"List index out of bounds (-1)");
    EXPECT_EQ(ListErrorOf([&] { l.InsertObject(5, L"x", nullptr); }),
              L"List index out of bounds (5)");
}

// ---------------------------------------------------------------------------
// Components

// Records its life and every notification it gets into a shared journal.
class TProbe : public tk::TComponent {
public:
    TProbe(tk::TComponent* owner, std::wstring name, std::vector<std::wstring>* journal)
        : tk::TComponent(owner), journal_(journal) {
        SetName(std::move(name));
    }
    ~TProbe() override { journal_->push_back(L"free " + Name()); }
    void Loaded() override {
        wasLoading = IsLoading();
        tk::TComponent::Loaded();
        journal_->push_back(L"loaded " + Name());
    }
    void Notification(tk::TComponent* c, tk::TOperation op) override {
        tk::TComponent::Notification(c, op);
        if (op == tk::opRemove) {
            journal_->push_back(Name() + L" hears " + c->Name() + L" removed");
            if (c == ref) ref = nullptr;
        }
    }
    tk::TComponent* ref = nullptr;
    bool wasLoading = false;

private:
    std::vector<std::wstring>* journal_;
};

TEST(Component, OwnerDestroysItsComponentsNewestFirst) {
    std::vector<std::wstring> j;
    auto* root = new TProbe(nullptr, L"root", &j);
    new TProbe(root, L"a", &j);
    new TProbe(root, L"b", &j);
    EXPECT_EQ(root->ComponentCount(), 2);
    EXPECT_EQ(root->Components(1)->Name(), L"b");
    EXPECT_EQ(root->Components(0)->Owner(), root);
    delete root;
    auto pos = [&](const std::wstring& s) { return std::find(j.begin(), j.end(), s) - j.begin(); };
    ASSERT_LT(pos(L"free b"), static_cast<long>(j.size()));
    EXPECT_LT(pos(L"free root"), pos(L"free b"));  // the owner's own destructor body runs first
    EXPECT_LT(pos(L"free b"), pos(L"free a"));
}

TEST(Component, DeletingAnOwnedComponentRemovesItFromItsOwner) {
    std::vector<std::wstring> j;
    TProbe root(nullptr, L"root", &j);
    auto* a = new TProbe(&root, L"a", &j);
    auto* b = new TProbe(&root, L"b", &j);
    delete a;
    ASSERT_EQ(root.ComponentCount(), 1);
    EXPECT_EQ(root.Components(0), b);
    // Siblings and the owner hear about the removal.
    EXPECT_NE(std::find(j.begin(), j.end(), L"b hears a removed"), j.end());
    EXPECT_NE(std::find(j.begin(), j.end(), L"root hears a removed"), j.end());
}

TEST(Component, FreeNotificationWorksInBothDirections) {
    std::vector<std::wstring> j;
    auto* x = new TProbe(nullptr, L"x", &j);
    auto* y = new TProbe(nullptr, L"y", &j);
    x->ref = y;
    x->FreeNotification(y);
    x->FreeNotification(y);  // asking twice gives one notice
    delete y;
    EXPECT_EQ(x->ref, nullptr);
    EXPECT_EQ(std::count(j.begin(), j.end(), L"x hears y removed"), 1);
    // The other way round: the one that asked dies first, and the other is
    // told, so it does not call back into a dead object.
    auto* z = new TProbe(nullptr, L"z", &j);
    z->ref = x;
    x->FreeNotification(z);
    delete x;
    EXPECT_EQ(z->ref, nullptr);
    delete z;
    EXPECT_EQ(std::count(j.begin(), j.end(), L"z hears x removed"), 1);
}

TEST(Component, RemovedFreeNotificationSendsNothing) {
    std::vector<std::wstring> j;
    auto* x = new TProbe(nullptr, L"x", &j);
    auto* y = new TProbe(nullptr, L"y", &j);
    x->FreeNotification(y);
    x->RemoveFreeNotification(y);
    delete y;
    delete x;
    EXPECT_EQ(std::count(j.begin(), j.end(), L"x hears y removed"), 0);
}

TEST(Component, LoadLayoutAppliesWhileLoadingThenLoadsComponentsBeforeTheOwner) {
    std::vector<std::wstring> j;
    TProbe root(nullptr, L"root", &j);
    auto* a = new TProbe(&root, L"a", &j);
    auto* b = new TProbe(&root, L"b", &j);
    bool loadingDuringApply = false;
    tk::TComponent::LoadLayout(&root, [&] {
        loadingDuringApply = root.IsLoading() && a->IsLoading() && b->IsLoading();
        j.push_back(L"apply");
    });
    EXPECT_TRUE(loadingDuringApply);
    EXPECT_TRUE(a->wasLoading);
    EXPECT_FALSE(root.IsLoading());
    EXPECT_FALSE(a->IsLoading());
    EXPECT_EQ(j, (std::vector<std::wstring>{L"apply", L"loaded a", L"loaded b", L"loaded root"}));
}

// ---------------------------------------------------------------------------
// Application helpers

TEST(Application, TitleIsTheFileNameUpToTheFirstDotWithLowerCaseTail) {
    EXPECT_EQ(tk::TApplication::TitleFromExeName(L"C:\\Apps\\QUOLM.EXE"), L"Quolm");
    EXPECT_EQ(tk::TApplication::TitleFromExeName(L"c:/x/my.Tool.exe"),
              L"my");  // the first letter is kept
    EXPECT_EQ(tk::TApplication::TitleFromExeName(L"Z:AbC"), L"Abc");
    EXPECT_EQ(tk::TApplication::TitleFromExeName(L"q"), L"q");
}

TEST(Application, ErrorReportUsesTheTitleTheFullStopAndTheErrorIcon) {
    struct Box {
        std::wstring text, caption;
        UINT flags = 0;
    } seen;
    auto old = tk::Application().SetMessageBoxHook(
        [&](HWND, const std::wstring& t, const std::wstring& c, UINT f) {
            seen = {t, c, f};
            return IDOK;
        });
    tk::Application().SetTitle(L"Quolm");
    try {
        throw tk::EConvertError(L"''x'' is not a valid integer value");
    } catch (...) {
        tk::Application().HandleException();
    }
    EXPECT_EQ(seen.text, L"''x'' is not a valid integer value.");
    EXPECT_EQ(seen.caption, L"Quolm");
    EXPECT_EQ(seen.flags, static_cast<UINT>(MB_OK | MB_ICONERROR));
    try {
        throw std::bad_alloc();
    } catch (...) {
        tk::Application().HandleException();
    }
    EXPECT_EQ(seen.text, L"Out of memory.");
    tk::Application().SetMessageBoxHook(old);
}

// ---------------------------------------------------------------------------
// Grid model

TEST(GridModel, RowCountHasAFloorAndCellsOutliveShrinking) {
    tk::TGridModel g(4, 5, 24);
    g.SetRowCount(0);
    EXPECT_EQ(g.RowCount(), 1);
    g.SetCells(2, 3, L"kept");
    g.SetRowCount(2);
    g.SetRowCount(10);
    EXPECT_EQ(g.Cells(2, 3), L"kept");
    EXPECT_EQ(g.Cells(3, 3), L"");
    EXPECT_EQ(g.Cells(-1, 0), L"");
    EXPECT_EQ(g.Cells(0, 1000), L"");
    g.SetCells(-1, 0, L"ignored");
    EXPECT_EQ(g.Cells(0, 0), L"");
}

TEST(GridModel, RowHeightsFallBackToTheDefault) {
    tk::TGridModel g(2, 3, 24);
    EXPECT_EQ(g.RowHeights(1), 24);
    g.SetRowHeights(1, 40);
    EXPECT_EQ(g.RowHeights(1), 40);
    EXPECT_EQ(g.RowHeights(2), 24);
    EXPECT_EQ(g.RowHeights(-3), 24);
    g.SetDefaultRowHeight(30);
    EXPECT_EQ(g.RowHeights(0), 30);
    EXPECT_EQ(g.RowHeights(1), 40);
}

// Rows of a source are filled when first read or written, in any order and
// far beyond the rows stored so far; a new source fills what the old one
// still holds outside its range, and references to read cells stay valid.
TEST(GridModel, SourceRowsAreFilledOnFirstUseInAnyOrder) {
    struct Source final : tk::TGridRowSource {
        std::wstring tag;
        mutable int fills = 0;
        void FillRow(int row, std::vector<std::wstring>& cells) const override {
            ++fills;
            cells[1] = tag + std::to_wstring(row);
        }
    };
    tk::TGridModel g(3, 1001, 24);
    g.SetCells(0, 0, L"head");
    auto first = std::make_shared<Source>();
    first->tag = L"a";
    g.SetRowSource(first, 1, 1000);
    const std::wstring& lastRow = g.Cells(1, 1000);
    EXPECT_EQ(lastRow, L"a1000");
    EXPECT_EQ(g.Cells(1, 2), L"a2");
    g.SetCells(2, 3, L"own");
    EXPECT_EQ(g.Cells(1, 3), L"a3");
    EXPECT_EQ(first->fills, 3);
    auto second = std::make_shared<Source>();
    second->tag = L"b";
    g.SetRowSource(second, 1, 2);  // rows 4..999 are filled from the first now
    EXPECT_EQ(first->fills, 999);  // row 1 is the new source's
    EXPECT_EQ(g.Cells(1, 999), L"a999");
    EXPECT_EQ(g.Cells(1, 1), L"b1");
    EXPECT_EQ(lastRow, L"a1000");
    EXPECT_EQ(g.Cells(0, 0), L"head");
    EXPECT_EQ(g.Cells(2, 3), L"own");
}

}  // namespace
