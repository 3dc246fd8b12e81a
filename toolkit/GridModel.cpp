#include "GridModel.h"

#include <algorithm>

namespace tk {

namespace {
const std::wstring kEmpty;
}

TGridModel::TGridModel(int colCount, int rowCount, int defaultRowHeight)
    : colCount_(colCount < 1 ? 1 : colCount), rowCount_(rowCount < 1 ? 1 : rowCount),
      defaultRowHeight_(defaultRowHeight) {}

void TGridModel::SetColCount(int value) {
    colCount_ = value < 1 ? 1 : value;
    Changed();
}

void TGridModel::SetRowCount(int value) {
    rowCount_ = value < 1 ? 1 : value;
    Changed();
}

const std::wstring& TGridModel::Cells(int col, int row) const {
    if (row < 0 || col < 0) return kEmpty;
    if (static_cast<std::size_t>(row) < pending_.size() && pending_[static_cast<std::size_t>(row)])
        FillPending(static_cast<std::size_t>(row));
    if (static_cast<std::size_t>(row) >= cells_.size()) return kEmpty;
    const auto& r = cells_[static_cast<std::size_t>(row)];
    return static_cast<std::size_t>(col) < r.size() ? r[static_cast<std::size_t>(col)] : kEmpty;
}

void TGridModel::SetCells(int col, int row, std::wstring text) {
    if (row < 0 || col < 0) return;
    if (static_cast<std::size_t>(row) < pending_.size() && pending_[static_cast<std::size_t>(row)])
        FillPending(static_cast<std::size_t>(row));
    if (static_cast<std::size_t>(row) >= cells_.size())
        cells_.resize(static_cast<std::size_t>(row) + 1);
    auto& r = cells_[static_cast<std::size_t>(row)];
    // A row is usually filled cell by cell: size it for all columns at once.
    if (static_cast<std::size_t>(col) >= r.size())
        r.resize(std::max(static_cast<std::size_t>(col) + 1, static_cast<std::size_t>(colCount_)));
    r[static_cast<std::size_t>(col)] = std::move(text);
    Changed();
}

void TGridModel::FillPending(std::size_t row) const {
    pending_[row] = false;
    // Rows get storage as they are filled: a grid that shows the first rows
    // of a large table keeps no empty rows for the others.
    if (row >= cells_.size()) cells_.resize(row + 1);
    auto& r = cells_[row];
    if (r.size() < static_cast<std::size_t>(colCount_)) r.resize(static_cast<std::size_t>(colCount_));
    source_->FillRow(static_cast<int>(row), r);
}

void TGridModel::SetRowSource(std::shared_ptr<const TGridRowSource> source, int first, int last) {
    if (first < 0) first = 0;
    for (std::size_t row = 0; row < pending_.size(); ++row)
        if (pending_[row] && (row < static_cast<std::size_t>(first) || static_cast<int>(row) > last))
            FillPending(row);
    pending_.clear();
    source_ = last >= first ? std::move(source) : nullptr;
    if (source_) {
        const auto end = static_cast<std::size_t>(last) + 1;
        pending_.assign(end, false);
        std::fill(pending_.begin() + first, pending_.end(), true);
    }
    Changed();
}

int TGridModel::RowHeights(int row) const {
    if (row < 0 || static_cast<std::size_t>(row) >= heights_.size() || heights_[static_cast<std::size_t>(row)] == 0)
        return defaultRowHeight_;
    return heights_[static_cast<std::size_t>(row)];
}

void TGridModel::SetRowHeights(int row, int height) {
    if (row < 0) return;
    if (static_cast<std::size_t>(row) >= heights_.size()) heights_.resize(static_cast<std::size_t>(row) + 1, 0);
    heights_[static_cast<std::size_t>(row)] = height;
    Changed();
}

}  // namespace tk
