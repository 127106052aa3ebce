#pragma once

#include <QModelIndex>
#include <QObject>
#include <QString>
#include <array>

class QTableView;
class QWidget;

namespace zf::ui {

// Fits the visual log's columns to its width. "Input", "Output" and
// "Comment" share whatever the window gives beyond their minimums (the widths
// the operator dragged them to, or the file held), so long names are readable
// in a wide window; "Time" never gets narrower than a time text; a cell cut
// short shows its whole text as its tooltip.
class LogColumns final : public QObject {
 public:
  // `timeSample`: a time text as the log writes it, to size the time column.
  LogColumns(QTableView& view, const QString& timeSample);

  // The operator's width of `column`: the least it is given, and what the
  // window keeps at close.
  int Minimum(int column) const { return minimum_[static_cast<std::size_t>(column)]; }
  void Fit();
  // The tooltip of a cell: its whole text when it is cut short, followed by
  // the row's own tooltip; empty when the cell shows all of its text.
  QString ToolTipFor(const QModelIndex& index) const;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  int TimeWidth() const;
  void SectionResized(int column, int newSize);

  QTableView& view_;
  QWidget* viewport_;
  QString timeSample_;
  std::array<int, 4> minimum_{};
  bool fitting_ = false;
};

}  // namespace zf::ui
