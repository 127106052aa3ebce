#include "queuetable.h"

#include <stdexcept>

namespace zf {

std::int32_t DefaultFtpPort(std::int32_t protocol) {
  switch (protocol) {
    case kFtpImplicitTls:
      return 990;
    case kFtpSftp:
      return 22;
    default:
      return 21;
  }
}

QueueRecord::QueueRecord() : rules_(kMaxRules), translations_(kMaxTranslations) {}

Rule& QueueRecord::rule(int k) {
  if (k < 1 || k > kMaxRules) throw std::out_of_range("rule number out of range");
  return rules_[static_cast<std::size_t>(k - 1)];
}

const Rule& QueueRecord::rule(int k) const {
  if (k < 1 || k > kMaxRules) throw std::out_of_range("rule number out of range");
  return rules_[static_cast<std::size_t>(k - 1)];
}

Translation& QueueRecord::translation(int k) {
  if (k < 1 || k > kMaxTranslations) throw std::out_of_range("translation number out of range");
  return translations_[static_cast<std::size_t>(k - 1)];
}

const Translation& QueueRecord::translation(int k) const {
  if (k < 1 || k > kMaxTranslations) throw std::out_of_range("translation number out of range");
  return translations_[static_cast<std::size_t>(k - 1)];
}

int QueueRecord::RuleCount() const {
  return NRegularexpr < 0 ? 0 : (NRegularexpr > kMaxRules ? kMaxRules : NRegularexpr);
}

int QueueRecord::TranslationCount() const {
  return Ntranslations < 0 ? 0
                           : (Ntranslations > kMaxTranslations ? kMaxTranslations : Ntranslations);
}

QueueTable::QueueTable() {
  for (auto& slot : state_.slots) slot = std::make_shared<const QueueRecord>();
}

void QueueTable::CheckSlot(int slot) {
  if (slot < 1 || slot > kSlots) throw std::out_of_range("queue slot out of range");
}

int QueueTable::Nfolders() const {
  std::lock_guard lock(mutex_);
  return state_.Nfolders;
}

RecordPtr QueueTable::Record(int slot) const {
  CheckSlot(slot);
  std::lock_guard lock(mutex_);
  return state_.slots[static_cast<std::size_t>(slot - 1)];
}

void QueueTable::Put(int slot, QueueRecord record) {
  CheckSlot(slot);
  auto fresh = std::make_shared<const QueueRecord>(std::move(record));
  std::lock_guard lock(mutex_);
  state_.slots[static_cast<std::size_t>(slot - 1)] = std::move(fresh);
}

void QueueTable::Update(int slot, const std::function<void(QueueRecord&)>& edit) {
  CheckSlot(slot);
  std::lock_guard lock(mutex_);
  auto& ptr = state_.slots[static_cast<std::size_t>(slot - 1)];
  QueueRecord copy = *ptr;
  edit(copy);
  ptr = std::make_shared<const QueueRecord>(std::move(copy));
}

bool QueueTable::UpdateQueue(std::uint64_t uid, const std::function<void(QueueRecord&)>& edit) {
  if (uid == 0) return false;
  std::lock_guard lock(mutex_);
  for (int i = 0; i < state_.Nfolders; ++i) {
    auto& ptr = state_.slots[static_cast<std::size_t>(i)];
    if (ptr->uid == uid) {
      QueueRecord copy = *ptr;
      edit(copy);
      ptr = std::make_shared<const QueueRecord>(std::move(copy));
      return true;
    }
  }
  return false;
}

int QueueTable::SlotOf(std::uint64_t uid) const {
  if (uid == 0) return 0;
  std::lock_guard lock(mutex_);
  for (int i = 0; i < state_.Nfolders; ++i) {
    if (state_.slots[static_cast<std::size_t>(i)]->uid == uid) return i + 1;
  }
  return 0;
}

int QueueTable::FindByName(std::string_view name) const {
  std::lock_guard lock(mutex_);
  for (int i = 0; i < state_.Nfolders; ++i) {
    if (state_.slots[static_cast<std::size_t>(i)]->name == name) return i + 1;
  }
  return 0;
}

Result<int> QueueTable::Append(const std::function<void(QueueRecord&)>& fill) {
  std::lock_guard lock(mutex_);
  if (state_.Nfolders >= kSlots) {
    return Status::Error("The queue table is full: at most " + std::to_string(kSlots) +
                         " input queues can be defined");
  }
  auto& ptr = state_.slots[static_cast<std::size_t>(state_.Nfolders)];
  QueueRecord copy = *ptr;
  fill(copy);
  copy.uid = nextUid_++;
  ptr = std::make_shared<const QueueRecord>(std::move(copy));
  return ++state_.Nfolders;
}

Status QueueTable::Delete(int slot) {
  std::lock_guard lock(mutex_);
  if (slot < 1 || slot > state_.Nfolders) {
    return Status::Error("There is no queue in slot " + std::to_string(slot));
  }
  auto& slots = state_.slots;
  const auto j = static_cast<std::size_t>(slot - 1);
  const auto last = static_cast<std::size_t>(state_.Nfolders - 1);
  // The deleted queue's FTP client goes to the freed slot, so that no two
  // slots ever share one connection; everything else of that slot stays.
  auto freedClient = slots[j]->FTPsession;
  for (std::size_t i = j; i < last; ++i) slots[i] = slots[i + 1];
  if (slots[last]->FTPsession != freedClient) {
    QueueRecord kept = *slots[last];
    kept.FTPsession = std::move(freedClient);
    slots[last] = std::make_shared<const QueueRecord>(std::move(kept));
  }
  --state_.Nfolders;
  return Status::Ok();
}

PluginFieldMap QueueTable::Plugin() const {
  std::lock_guard lock(mutex_);
  return state_.plugin;
}

void QueueTable::SetPlugin(const PluginFieldMap& map) {
  std::lock_guard lock(mutex_);
  state_.plugin = map;
}

QueueTable::State QueueTable::Snapshot() const {
  std::lock_guard lock(mutex_);
  return state_;
}

void QueueTable::Replace(State state) {
  if (state.Nfolders < 0) state.Nfolders = 0;
  if (state.Nfolders > kSlots) state.Nfolders = kSlots;
  for (auto& slot : state.slots) {
    if (!slot) slot = std::make_shared<const QueueRecord>();
  }
  std::lock_guard lock(mutex_);
  state_ = std::move(state);
}

std::uint64_t QueueTable::NewUid() {
  return nextUid_++;
}

}  // namespace zf
