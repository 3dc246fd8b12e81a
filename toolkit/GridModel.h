// The data behind a string grid: row count, cell texts and row heights.
// Texts of rows beyond the row count are kept, so a grid that grows again
// shows them; storage follows the rows actually written, not the count, so
// a huge row count costs nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tk {

// Cells of many rows kept in a form of their own (a table's row texts, say)
// and made into cell texts only when a row is needed.
class TGridRowSource {
public:
    virtual ~TGridRowSource() = default;
    // Writes the row's cells into `cells`, growing it as needed.
    virtual void FillRow(int row, std::vector<std::wstring>& cells) const = 0;
};

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

    // Rows first..last (none when last < first) take their cells from
    // `source` when one of their cells is first read or written: as if the
    // source's cells had been written now, but a grid that shows a few of
    // many rows splits only those. Rows an earlier source still holds
    // outside that range are filled from it now.
    void SetRowSource(std::shared_ptr<const TGridRowSource> source, int first, int last);

protected:
    // Hooks for a control that shows the model.
    virtual void Changed() {}

private:
    // Fills a row whose cells are still with the source.
    void FillPending(std::size_t row) const;

    int colCount_;
    int rowCount_;
    int defaultRowHeight_;
    // [row][col], grown on write; rows still with the source are filled on
    // their first read, hence mutable.
    mutable std::vector<std::vector<std::wstring>> cells_;
    mutable std::vector<bool> pending_;  // rows whose cells are still with source_
    std::shared_ptr<const TGridRowSource> source_;
    std::vector<int> heights_;  // 0 = default height
};

}  // namespace tk
