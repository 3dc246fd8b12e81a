// The "Repeat..." dialog of the Run menu: how many times to run the table
// (or until stopped) and the period from one repeat's start to the next.
#pragma once

#include "Forms.h"
#include "RunSequence.h"
#include "StdCtrls.h"

class TfrmRepeat : public tk::TForm {
public:
    explicit TfrmRepeat(tk::TComponent* AOwner);

    tk::TLabel* lblCount;
    tk::TEdit* edtCount;
    tk::TCheckBox* chkUntilStopped;
    tk::TLabel* lblPeriod;
    tk::TEdit* edtPeriod;
    tk::TButton* btnOK;
    tk::TButton* btnCancel;

    // Shows the options' repeats and period, and takes back what the user
    // typed on OK; false on Cancel. A value that is no number keeps its
    // old one.
    bool Ask(TRunOptions& options);
};
