#include "guihost.h"

#include <QMetaObject>
#include <utility>

namespace zf::ui {

GuiHost::GuiHost(QueueTable& table, WorkingSettings& working, QObject* receiver, Handlers handlers)
    : table_(table), working_(working), receiver_(receiver), handlers_(std::move(handlers)) {}

void GuiHost::Post(std::function<void()> call) {
  QObject* receiver = receiver_.data();
  if (receiver == nullptr || !call) return;
  // Queued calls to one receiver run in the order they were posted.
  QMetaObject::invokeMethod(receiver, std::move(call), Qt::QueuedConnection);
}

void GuiHost::CycleProgress(int position) {
  if (handlers_.cycleProgress) Post([h = handlers_.cycleProgress, position] { h(position); });
}

void GuiHost::CycleProgressFull() {
  CycleProgress(kCycleProgressMax);
}

void GuiHost::QueueIconChanged(int slot, QueueIcon icon) {
  if (handlers_.queueIcon) Post([h = handlers_.queueIcon, slot, icon] { h(slot, icon); });
}

void GuiHost::RefreshQueueList() {
  if (handlers_.refreshQueueList) Post(handlers_.refreshQueueList);
}

void GuiHost::FtpProgress(int percent) {
  if (handlers_.ftpProgress) Post([h = handlers_.ftpProgress, percent] { h(percent); });
}

void GuiHost::QueueStatusChanged() {
  if (!handlers_.statusChanged || statusPending_.exchange(true)) return;
  Post([this] {
    statusPending_ = false;
    handlers_.statusChanged();
  });
}

}  // namespace zf::ui
