#pragma once

#include <QDialog>
#include <QString>
#include <memory>

namespace Ui {
class TFormnewqueue;
}

namespace zf::ui {

// Asks for the name of a new queue; the caller always sets the proposal.
class TFormnewqueue final : public QDialog {
  Q_OBJECT

 public:
  explicit TFormnewqueue(QWidget* parent = nullptr);
  ~TFormnewqueue() override;

  void SetName(const QString& name);
  QString Name() const;

 private:
  std::unique_ptr<Ui::TFormnewqueue> ui_;
};

}  // namespace zf::ui
