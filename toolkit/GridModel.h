// The data behind a string grid: row count, cell texts and row heights.
// Texts of rows beyond the row count are kept, so a grid that grows again
// shows them; storage follows the rows actually written, not the count, so
// a huge row count costs nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tk {

class TGridModel {
public:
    explicit TGridModel(int colCount = 5, int rowCount = 5, int defaultRowHeight = 24);
    virtual ~TGridModel() = default;

    int ColCount() const { return colCount_; }
    void SetColCount(int value);
    int RowCount() const { return rowCount_; }
    // A count below 1 is taken as 1 (the header row always exists).
    void SetRowCount(int value);

    const std::wstring& Cells(int col, int row) const;
    void SetCells(int col, int row, std::wstring text);

    int DefaultRowHeight() const { return defaultRowHeight_; }
    void SetDefaultRowHeight(int value) { defaultRowHeight_ = value; }
    int RowHeights(int row) const;
    void SetRowHeights(int row, int height);

protected:
    // Hooks for a control that shows the model.
    virtual void Changed() {}

private:
    int colCount_;
    int rowCount_;
    int defaultRowHeight_;
    std::vector<std::vector<std::wstring>> cells_;  // [row][col], grown on write
    std::vector<int> heights_;                      // 0 = default height
};

}  // namespace tk
