#include "tformfolderconfig.h"

#include <QButtonGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QFormLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QListWidget>
#include <QShowEvent>
#include <QTime>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <utility>

#include "artwork.h"
#include "config/queueediting.h"
#include "config/queuefile.h"
#include "ftp/ftpsession.h"
#include "messages.h"
#include "testbenchpanel.h"
#include "tformedtrans.h"
#include "tformnewqueue.h"
#include "tformsetupreg.h"
#include "ui_tformfolderconfig.h"

namespace zf::ui {
namespace {

constexpr int kLoggingPage = 3;
constexpr int kTranslationsPage = 4;
const QString kYes = QStringLiteral("Yes");

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}
std::string S(const QString& text) {
  return text.toStdString();
}

// Selects the button with this number; a negative number selects none, one
// beyond the last button selects the last, as the file may hold either.
void SelectButton(QButtonGroup& group, int id) {
  const int last = static_cast<int>(group.buttons().size()) - 1;
  if (id < 0) {
    group.setExclusive(false);
    for (QAbstractButton* b : group.buttons()) b->setChecked(false);
    group.setExclusive(true);
    return;
  }
  group.button(std::min(id, last))->setChecked(true);
}

int SelectedRow(const QTreeWidget& list) {
  const QList<QTreeWidgetItem*> selected = list.selectedItems();
  return selected.isEmpty() ? -1 : list.indexOfTopLevelItem(selected.first());
}

// Long expressions are cut to their column; the tooltip holds the whole text.
void SetRow(QTreeWidgetItem& item, const QStringList& columns) {
  for (int c = 0; c < columns.size(); ++c) {
    item.setText(c, columns[c]);
    item.setToolTip(c, columns[c]);
  }
}

void AddRow(QTreeWidget& list, const QStringList& columns) {
  auto* item = new QTreeWidgetItem;
  SetRow(*item, columns);
  list.addTopLevelItem(item);
}

void SetRow(QTreeWidget& list, int row, const QStringList& columns) {
  SetRow(*list.topLevelItem(row), columns);
}

QStringList Row(const QTreeWidget& list, int row) {
  QStringList columns;
  const QTreeWidgetItem* item = list.topLevelItem(row);
  for (int c = 0; c < list.columnCount(); ++c) columns << item->text(c);
  return columns;
}

QStringList RuleRow(const TFormsetupreg::Values& v) {
  return {v.match, v.format, v.partial ? kYes : QStringLiteral("No"), v.trans};
}

QStringList TranslationRow(const TFormedtrans::Values& v) {
  return {v.format, v.fromstr, v.tostr, v.definition};
}

}  // namespace

TFormFolderconfig::TFormFolderconfig(QueueTable& table, ConfigPaths paths, Messages& messages,
                                     QWidget* parent)
    : QDialog(parent),
      ui_(std::make_unique<Ui::TFormFolderconfig>()),
      table_(table),
      paths_(std::move(paths)),
      messages_(messages),
      filetimetype_(new QButtonGroup(this)),
      logtype_(new QButtonGroup(this)),
      ruleEditor_(new TFormsetupreg(this)),
      transEditor_(new TFormedtrans(this)),
      newQueue_(new TFormnewqueue(this)) {
  ui_->setupUi(this);
  // Room for the rules and the test bench; the owner cuts it to the screen.
  resize(760, 640);
  setWindowIcon(AppIcon());
  ui_->Imageheader->setPixmap(HeaderIcon().pixmap(ui_->Imageheader->size()));
  ui_->ButtonCancel->setAutoDefault(false);

  filetimetype_->addButton(ui_->RadioButtoncreation, 0);
  filetimetype_->addButton(ui_->RadioButtonlastaccess, 1);
  filetimetype_->addButton(ui_->RadioButtonlastwrite, 2);
  ui_->RadioButtonlastwrite->setChecked(true);
  logtype_->addButton(ui_->RadioButtoncomma, 0);
  logtype_->addButton(ui_->RadioButtonxml, 1);
  ui_->RadioButtoncomma->setChecked(true);
  ui_->CheckBoxdaily->setChecked(true);
  // Every column in view at any width: the expressions share the room.
  for (QTreeWidget* list : {ui_->ListViewreg, ui_->ListViewtranslate}) {
    QHeaderView* header = list->header();
    header->setStretchLastSection(false);
    for (int c : {0, 1, 3}) header->setSectionResizeMode(c, QHeaderView::Stretch);
    header->setSectionResizeMode(2, QHeaderView::ResizeToContents);
    list->setTextElideMode(Qt::ElideMiddle);
  }
  ui_->ListViewreg->setToolTip(
      QStringLiteral("Match expression: the pattern an input name must fit. Format expression: "
                     "the new name, with $1, $2 ... for the matched parts. Translation format: "
                     "the page number (with Split pdf) and the parameters for the plugin."));
  ui_->Labelautoenablednote->setVisible(!ui_->CheckBoxautoenabled->isChecked());
  connect(ui_->CheckBoxautoenabled, &QCheckBox::toggled, ui_->Labelautoenablednote,
          [this](bool on) { ui_->Labelautoenablednote->setVisible(!on); });

  // The log settings and the translations are carried, not edited.
  ui_->PageControl1->setTabVisible(kLoggingPage, false);
  ui_->PageControl1->setTabVisible(kTranslationsPage, false);
  SetFtpEnabled(false);
  FtpProtocolChanged(kFtpPlain);
  UpdateSearchMaskNote();

  connect(ui_->ListViewfolders, &QListWidget::itemSelectionChanged, this,
          &TFormFolderconfig::QueueSelectionChanged);
  connect(ui_->Buttonnew, &QPushButton::clicked, this, &TFormFolderconfig::NewQueue);
  connect(ui_->Buttondelete, &QPushButton::clicked, this, &TFormFolderconfig::DeleteQueue);
  connect(ui_->Buttonapply, &QPushButton::clicked, this, &TFormFolderconfig::Apply);
  connect(ui_->ButtonOK, &QPushButton::clicked, this, &TFormFolderconfig::accept);
  connect(ui_->ButtonCancel, &QPushButton::clicked, this, &TFormFolderconfig::reject);

  connect(ui_->Buttonaddreg, &QPushButton::clicked, this, &TFormFolderconfig::AddRule);
  connect(ui_->Buttoneditreg, &QPushButton::clicked, this, &TFormFolderconfig::EditRule);
  connect(ui_->ListViewreg, &QTreeWidget::itemDoubleClicked, this, &TFormFolderconfig::EditRule);
  connect(ui_->Buttondeletereg, &QPushButton::clicked, this,
          [this] { DeleteRow(ui_->ListViewreg); });
  connect(ui_->Buttonup, &QPushButton::clicked, this, [this] { MoveRule(-1); });
  connect(ui_->Buttondown, &QPushButton::clicked, this, [this] { MoveRule(1); });

  connect(ui_->Buttonaddtrans, &QPushButton::clicked, this, &TFormFolderconfig::AddTranslation);
  connect(ui_->Buttonedittrans, &QPushButton::clicked, this, &TFormFolderconfig::EditTranslation);
  connect(ui_->ListViewtranslate, &QTreeWidget::itemDoubleClicked, this,
          &TFormFolderconfig::EditTranslation);
  connect(ui_->Buttondeletetrans, &QPushButton::clicked, this,
          [this] { DeleteRow(ui_->ListViewtranslate); });
  connect(ui_->Buttonedittransname, &QPushButton::clicked, this, [this] {
    if (!editTranslatedName) return;
    if (auto pattern = editTranslatedName(ui_->edittransname->text())) {
      ui_->edittransname->setText(*pattern);
    }
  });

  connect(ui_->Buttonbrowseinput, &QPushButton::clicked, this,
          [this] { Browse(ui_->Editinputfolder); });
  connect(ui_->Buttonbrowseoutput, &QPushButton::clicked, this,
          [this] { Browse(ui_->Editoutputfolder); });
  connect(ui_->Buttonbrowseerror, &QPushButton::clicked, this,
          [this] { Browse(ui_->Editerrorfolder); });
  connect(ui_->Buttonbrowsetemp, &QPushButton::clicked, this, [this] { Browse(ui_->Edittempftp); });
  connect(ui_->Buttonbrowselog, &QPushButton::clicked, this,
          [this] { Browse(ui_->Editlogfilepath); });

  connect(ui_->CheckBoxuseftp, &QCheckBox::clicked, this, &TFormFolderconfig::SetFtpEnabled);
  connect(ui_->ComboBoxftpprotocol, &QComboBox::currentIndexChanged, this,
          &TFormFolderconfig::FtpProtocolChanged);
  connect(ui_->Button5, &QPushButton::clicked, this, &TFormFolderconfig::TestFtp);
  connect(ui_->ComboBoxsearchmask, &QComboBox::currentTextChanged, this,
          &TFormFolderconfig::UpdateSearchMaskNote);
}

TFormFolderconfig::~TFormFolderconfig() = default;

void TFormFolderconfig::FillQueueList() {
  QSignalBlocker block(ui_->ListViewfolders);
  ui_->ListViewfolders->clear();
  const QueueTable::State state = table_.Snapshot();
  for (int i = 0; i < state.Nfolders; ++i) {
    const QueueRecord& q = *state.slots[static_cast<std::size_t>(i)];
    ui_->ListViewfolders->addItem(new QListWidgetItem(QueueIcon(q.Enabled ? 0 : 2), Q(q.name)));
  }
}

void TFormFolderconfig::ShowQueue(const QString& name) {
  if (ui_->ListViewfolders->selectedItems().isEmpty() || table_.Nfolders() == 0) return;
  const int slot = table_.FindByName(S(name));
  if (slot == 0) return;
  const QueueRecord q = table_.Get(slot);

  ui_->Editfoldername->setText(Q(q.name));
  ui_->CheckBoxautoenabled->setChecked(q.Enabledatstart);
  ui_->Editinputfolder->setText(Q(q.Inputfolder));
  ui_->Editoutputfolder->setText(Q(q.Outputfolder));
  ui_->Editerrorfolder->setText(Q(q.Errorfolder));
  ui_->ComboBoxsearchmask->setEditText(Q(q.Searchmask));
  ui_->ComboBoxignoremask->setEditText(Q(q.ignoremask));
  SelectButton(*filetimetype_, q.filetimetype);
  ui_->CheckBoxsplitpdf->setChecked(q.Splitpdf);
  ui_->ComboBoxcollision->setCurrentIndex(
      q.Collision >= kCollisionReplace && q.Collision <= kCollisionLast ? q.Collision : 0);
  ui_->CheckBoxnormalize->setChecked(q.Normalize);
  ui_->CheckBoxcheckpdf->setChecked(q.Checkpdf);
  ui_->SpinEditcheckpdfpasses->setValue(q.Checkpdfpasses);
  ui_->Editreadyfile->setText(Q(q.Readyfile));

  ui_->ListViewreg->clear();
  for (int k = 1; k <= q.RuleCount(); ++k) {
    const Rule& r = q.rule(k);
    AddRow(*ui_->ListViewreg, RuleRow({Q(r.match), Q(r.format), r.partial, Q(r.trans)}));
  }

  ui_->CheckBoxuseftp->setChecked(q.FTPuse);
  {
    // A protocol this program does not know shows none and is stored back
    // unchanged.
    const QSignalBlocker block(ui_->ComboBoxftpprotocol);
    const bool known = q.FTPprotocol >= kFtpPlain && q.FTPprotocol <= kFtpSftp;
    ui_->ComboBoxftpprotocol->setCurrentIndex(known ? q.FTPprotocol : -1);
    FtpProtocolChanged(ui_->ComboBoxftpprotocol->currentIndex());
  }
  ui_->Edithost->setText(Q(q.FTPhost));
  ui_->Editftppath->setText(Q(q.FTPpath));
  ui_->Editusername->setText(Q(q.FTPuser));
  ui_->Edittfppassword->setText(Q(q.FTPpasw));
  ui_->Editftpport->setText(QString::number(q.FTPPort));
  ui_->CheckBoxpassive->setChecked(q.FTPpassive);
  ui_->Editftpfingerprint->setText(Q(q.FTPfingerprint));
  ui_->Editftpkeyfile->setText(Q(q.FTPkeyfile));
  ui_->Editftpknownhosts->setText(Q(q.FTPknownhosts));
  ui_->Edittempftp->setText(Q(q.FTPTemppath));

  ui_->CheckBoxlog->setChecked(q.Makelog);
  ui_->Editlogfilepath->setText(Q(q.Logfile));
  SelectButton(*logtype_, q.logtype);
  ui_->CheckBoxnewlogonstart->setChecked(q.newonstart);
  const DailyTime daily = ValidDailyTime(q.dailyhour, q.dailyminute);
  ui_->DateTimePickerlogrestart->setTime(QTime(daily.hour, daily.minute, 0));
  ui_->CheckBoxdaily->setChecked(q.daily);
  ui_->CheckBoxnewonmax->setChecked(q.newonmax);
  ui_->Editmaxentries->setText(QString::number(q.Maxentries));
  ui_->Edittransdatefrom->setText(Q(q.transdatefrom));
  ui_->edittransname->setText(Q(q.translationresult));
  ui_->ListViewtranslate->clear();
  for (int k = 1; k <= q.TranslationCount(); ++k) {
    const Translation& t = q.translation(k);
    AddRow(*ui_->ListViewtranslate,
           TranslationRow({Q(t.format), Q(t.fromstr), Q(t.tostr), Q(t.definition)}));
  }

  SetFtpEnabled(q.FTPuse);
  MarkShown(name);
  if (daily.adjusted) {
    messages_.Information(
        this, QStringLiteral("The daily log renewal time %1:%2 of the queue \"%3\" is not a valid "
                             "time of day; it is shown as %4, which Apply stores.")
                  .arg(q.dailyhour)
                  .arg(q.dailyminute, 2, 10, QLatin1Char('0'))
                  .arg(name, QTime(daily.hour, daily.minute).toString(QStringLiteral("HH:mm"))));
  }
}

std::optional<TFormFolderconfig::Numbers> TFormFolderconfig::ReadNumbers(bool report) const {
  // An empty box means the load default: the port box stays empty and
  // disabled on a queue that does not use FTP, which must not block storing.
  auto read = [&](const QString& text, std::int32_t empty) -> std::optional<std::int32_t> {
    if (text.isEmpty()) return empty;
    if (auto value = ParseDecimalInt32(S(text))) return value;
    if (report)
      messages_.Error(const_cast<TFormFolderconfig*>(this), Q(NotAnIntegerMessage(S(text))));
    return std::nullopt;
  };
  const int protocol = ui_->ComboBoxftpprotocol->currentIndex();
  const auto port = read(ui_->Editftpport->text(), DefaultFtpPort(protocol < 0 ? 0 : protocol));
  if (!port) return std::nullopt;
  const auto entries = read(ui_->Editmaxentries->text(), 10000);
  if (!entries) return std::nullopt;
  return Numbers{*port, *entries};
}

void TFormFolderconfig::WriteControls(QueueRecord& r, const Numbers& numbers) const {
  r.name = S(ui_->Editfoldername->text());
  r.Inputfolder = S(ui_->Editinputfolder->text());
  r.Enabled = true;  // storing a queue switches it on for this run
  r.Splitpdf = ui_->CheckBoxsplitpdf->isChecked();
  r.Collision = ui_->ComboBoxcollision->currentIndex();
  r.Outputfolder = S(ui_->Editoutputfolder->text());
  r.Errorfolder = S(ui_->Editerrorfolder->text());
  r.Searchmask = S(ui_->ComboBoxsearchmask->currentText());
  r.ignoremask = S(ui_->ComboBoxignoremask->currentText());
  r.Enabledatstart = ui_->CheckBoxautoenabled->isChecked();
  r.NRegularexpr = ui_->ListViewreg->topLevelItemCount();
  r.filetimetype = filetimetype_->checkedId();
  r.FTPuse = ui_->CheckBoxuseftp->isChecked();
  r.FTPhost = S(ui_->Edithost->text());
  r.FTPpath = S(ui_->Editftppath->text());
  r.FTPuser = S(ui_->Editusername->text());
  r.FTPpasw = S(ui_->Edittfppassword->text());
  r.FTPPort = numbers.port;
  r.FTPpassive = ui_->CheckBoxpassive->isChecked();
  if (const int protocol = ui_->ComboBoxftpprotocol->currentIndex(); protocol >= 0) {
    r.FTPprotocol = protocol;
  }
  r.FTPfingerprint = S(ui_->Editftpfingerprint->text());
  r.FTPkeyfile = S(ui_->Editftpkeyfile->text());
  r.FTPknownhosts = S(ui_->Editftpknownhosts->text());
  r.FTPTemppath = S(ui_->Edittempftp->text());
  r.Normalize = ui_->CheckBoxnormalize->isChecked();
  r.Checkpdf = ui_->CheckBoxcheckpdf->isChecked();
  r.Checkpdfpasses = ui_->SpinEditcheckpdfpasses->value();
  r.Readyfile = S(ui_->Editreadyfile->text());
  for (int k = 1; k <= r.NRegularexpr; ++k) {
    const QStringList row = Row(*ui_->ListViewreg, k - 1);
    r.rule(k) = Rule{S(row[0]), S(row[1]), row[2] == kYes, S(row[3])};
  }
  r.Makelog = ui_->CheckBoxlog->isChecked();
  r.Logfile = S(ui_->Editlogfilepath->text());
  r.logtype = logtype_->checkedId();
  r.newonstart = ui_->CheckBoxnewlogonstart->isChecked();
  const QTime time = ui_->DateTimePickerlogrestart->time();
  r.dailyhour = static_cast<std::uint16_t>(time.hour());
  r.dailyminute = static_cast<std::uint16_t>(time.minute());
  r.daily = ui_->CheckBoxdaily->isChecked();
  r.newonmax = ui_->CheckBoxnewonmax->isChecked();
  r.Maxentries = numbers.entries;
  r.transdatefrom = S(ui_->Edittransdatefrom->text());
  r.Ntranslations = ui_->ListViewtranslate->topLevelItemCount();
  r.translationresult = S(ui_->edittransname->text());
  for (int k = 1; k <= r.Ntranslations; ++k) {
    const QStringList row = Row(*ui_->ListViewtranslate, k - 1);
    r.translation(k) = Translation{S(row[0]), S(row[1]), S(row[2]), S(row[3])};
  }
}

bool TFormFolderconfig::StoreQueue(const QString& name) {
  const std::optional<Numbers> numbers = ReadNumbers(true);
  if (!numbers) return false;
  // Each write below publishes the whole record in one step.
  if (const int slot = table_.FindByName(S(name)); slot != 0) {
    table_.Update(slot, [&](QueueRecord& r) { WriteControls(r, *numbers); });
    return true;
  }
  const Result<int> appended = table_.Append([&](QueueRecord& r) {
    ResetFieldsTheDialogNeverWrites(r);
    // The slot may still hold the client of a queue that moved down.
    r.FTPsession = std::make_shared<FtpSession>();
    WriteControls(r, *numbers);
  });
  if (!appended.ok()) {
    messages_.Error(this, Q(appended.status().message()));
    return false;
  }
  return true;
}

QueueRecord TFormFolderconfig::ShownQueue() const {
  QueueRecord r;
  if (const int slot = table_.FindByName(S(ui_->Editfoldername->text())); slot != 0) {
    r = table_.Get(slot);
  } else {
    ResetFieldsTheDialogNeverWrites(r);
  }
  const std::optional<Numbers> numbers = ReadNumbers(false);
  Numbers shown;
  if (numbers) shown = *numbers;
  WriteControls(r, shown);
  return r;
}

void TFormFolderconfig::QueueSelectionChanged() {
  const QList<QListWidgetItem*> selected = ui_->ListViewfolders->selectedItems();
  if (selected.isEmpty()) return;
  const int row = ui_->ListViewfolders->row(selected.first());
  if (!SettleEdits(row)) return;
  if (QListWidgetItem* item = ui_->ListViewfolders->item(row)) ShowQueue(item->text());
}

bool TFormFolderconfig::SettleEdits(int targetRow) {
  QListWidget& list = *ui_->ListViewfolders;
  if (shownName_.isNull() || ControlsState() == shownState_) return true;
  const QMessageBox::StandardButton answer = messages_.Ask(
      this, QStringLiteral("Apply the changes to %1?").arg(shownName_),
      QMessageBox::Apply | QMessageBox::Discard | QMessageBox::Cancel, QMessageBox::Cancel);
  if (answer == QMessageBox::Discard) return true;
  const bool stored = answer == QMessageBox::Apply && (ui_->Editfoldername->text().isEmpty() ||
                                                       StoreQueue(ui_->Editfoldername->text()));
  // Storing may add a queue at the end; the rows before it stay where they were.
  QSignalBlocker block(&list);
  if (stored) FillQueueList();
  int back = -1;
  for (int i = 0; i < list.count() && back < 0; ++i) {
    if (list.item(i)->text() == shownName_) back = i;
  }
  list.setCurrentRow(stored ? targetRow : back);
  return stored;
}

QStringList TFormFolderconfig::ControlsState() const {
  QStringList state;
  for (const QWidget* w : ui_->PageControl1->findChildren<QWidget*>()) {
    if (bench_ != nullptr && bench_->isAncestorOf(w)) continue;
    if (const auto* edit = qobject_cast<const QLineEdit*>(w)) {
      state << edit->text();
    } else if (const auto* button = qobject_cast<const QAbstractButton*>(w)) {
      if (button->isCheckable()) state << (button->isChecked() ? "1" : "0");
    } else if (const auto* choice = qobject_cast<const QComboBox*>(w);
               choice != nullptr && !choice->isEditable()) {
      state << QString::number(choice->currentIndex());
    } else if (const auto* list = qobject_cast<const QTreeWidget*>(w)) {
      for (int row = 0; row < list->topLevelItemCount(); ++row) state << Row(*list, row);
      state << QString::number(list->topLevelItemCount());
    }
  }
  return state;
}

void TFormFolderconfig::MarkShown(const QString& name) {
  shownName_ = name;
  shownState_ = ControlsState();
}

void TFormFolderconfig::Apply() {
  const QString name = ui_->Editfoldername->text();
  if (!name.isEmpty() && StoreQueue(name)) MarkShown(name);
  FillQueueList();
}

void TFormFolderconfig::TestFtp() {
  // A port that is no number would reach the server as 0 and fail as
  // "Unable to connect", which sends the operator looking at the server.
  const QString port = ui_->Editftpport->text();
  if (!port.isEmpty() && !ParseDecimalInt32(S(port))) {
    messages_.Error(this, Q(NotAnIntegerMessage(S(port))));
    return;
  }
  if (!ftpTest) return;
  if (const std::string trusted = ftpTest(ShownQueue()); !trusted.empty()) {
    ui_->Editftpfingerprint->setText(Q(trusted));
  }
}

void TFormFolderconfig::NewQueue() {
  newQueue_->SetName(QStringLiteral("new input%1").arg(table_.Nfolders() + 1));
  if (execDialog(*newQueue_) != QDialog::Accepted) return;
  const QString name = newQueue_->Name();
  if (table_.FindByName(S(name)) != 0) {
    messages_.Error(this, QStringLiteral("This queue allready exists"));
    return;
  }
  // The new queue takes every shown value; the shown queue keeps its own,
  // since the name box no longer names it.
  const QString shownName = ui_->Editfoldername->text();
  const QString shownMask = ui_->ComboBoxignoremask->currentText();
  ui_->Editfoldername->setText(name);
  // A new queue holds back what desktop clients leave in shared folders, so
  // it never fills the error folder; the operator may edit it.
  const QString junk = QString::fromLatin1(kJunkIgnoremask);
  if (shownMask.isEmpty() || shownMask == QStringLiteral("none")) {
    ui_->ComboBoxignoremask->setEditText(junk);
  } else if (!shownMask.contains(junk)) {
    ui_->ComboBoxignoremask->setEditText(shownMask + ';' + junk);
  }
  // A new queue never takes a half-written PDF; existing ones keep theirs.
  const bool shownCheckpdf = ui_->CheckBoxcheckpdf->isChecked();
  ui_->CheckBoxcheckpdf->setChecked(true);
  if (!StoreQueue(name)) {
    ui_->Editfoldername->setText(shownName);
    ui_->ComboBoxignoremask->setEditText(shownMask);
    ui_->CheckBoxcheckpdf->setChecked(shownCheckpdf);
    return;
  }
  MarkShown(name);
  FillQueueList();
  ui_->ListViewfolders->setCurrentRow(ui_->ListViewfolders->count() - 1);
  ui_->ListViewfolders->setFocus();
}

void TFormFolderconfig::DeleteQueue() {
  const QList<QListWidgetItem*> selected = ui_->ListViewfolders->selectedItems();
  if (selected.isEmpty()) return;
  const QString name = selected.first()->text();
  const int slot = table_.FindByName(S(name));
  if (slot == 0) return;
  if (messages_.Ask(this, QStringLiteral("Delete the input queue \"%1\"?").arg(name),
                    QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes) {
    return;
  }
  if (Status st = table_.Delete(slot); !st.ok()) {
    messages_.Error(this, Q(st.message()));
    return;
  }
  shownName_.clear();  // its edits went with it
  FillQueueList();
  if (ui_->ListViewfolders->count() > 0) {
    ui_->ListViewfolders->setCurrentRow(ui_->ListViewfolders->count() - 1);
    ui_->ListViewfolders->setFocus();
  }
}

void TFormFolderconfig::FillRuleEditor() {
  const int row = SelectedRow(*ui_->ListViewreg);
  if (row < 0) return;  // the editor keeps what it showed last
  const QStringList r = Row(*ui_->ListViewreg, row);
  ruleEditor_->SetValues({r[0], r[1], r[2] == kYes, r[3]});
}

void TFormFolderconfig::AddRule() {
  if (ui_->ListViewreg->topLevelItemCount() >= QueueRecord::kMaxRules) {
    messages_.Information(this, QStringLiteral("maximum number of expressions are 200"));
    return;
  }
  FillRuleEditor();
  if (execDialog(*ruleEditor_) != QDialog::Accepted) return;
  AddRow(*ui_->ListViewreg, RuleRow(ruleEditor_->GetValues()));
}

void TFormFolderconfig::EditRule() {
  const int row = SelectedRow(*ui_->ListViewreg);
  if (row < 0) return;
  FillRuleEditor();
  if (execDialog(*ruleEditor_) != QDialog::Accepted) return;
  SetRow(*ui_->ListViewreg, row, RuleRow(ruleEditor_->GetValues()));
}

void TFormFolderconfig::DeleteRow(QTreeWidget* list) {
  const int row = SelectedRow(*list);
  if (row < 0) return;
  delete list->takeTopLevelItem(row);
  list->clearSelection();
}

void TFormFolderconfig::MoveRule(int step) {
  QTreeWidget& list = *ui_->ListViewreg;
  const int row = SelectedRow(list);
  const int other = row + step;
  if (row < 0 || other < 0 || other >= list.topLevelItemCount()) return;
  // The rows trade texts; the selection stays on its position.
  const QStringList mine = Row(list, row);
  SetRow(list, row, Row(list, other));
  SetRow(list, other, mine);
}

void TFormFolderconfig::FillTranslationEditor() {
  const int row = SelectedRow(*ui_->ListViewtranslate);
  if (row < 0) return;
  const QStringList t = Row(*ui_->ListViewtranslate, row);
  transEditor_->SetValues({t[0], t[1], t[2], t[3]});
}

void TFormFolderconfig::AddTranslation() {
  if (ui_->ListViewtranslate->topLevelItemCount() >= QueueRecord::kMaxTranslations) {
    messages_.Information(
        this, QStringLiteral("A queue holds at most %1 translations; delete one to add another.")
                  .arg(QueueRecord::kMaxTranslations));
    return;
  }
  FillTranslationEditor();
  if (execDialog(*transEditor_) != QDialog::Accepted) return;
  AddRow(*ui_->ListViewtranslate, TranslationRow(transEditor_->GetValues()));
}

void TFormFolderconfig::EditTranslation() {
  const int row = SelectedRow(*ui_->ListViewtranslate);
  if (row < 0) return;
  FillTranslationEditor();
  if (execDialog(*transEditor_) != QDialog::Accepted) return;
  SetRow(*ui_->ListViewtranslate, row, TranslationRow(transEditor_->GetValues()));
}

void TFormFolderconfig::Browse(QLineEdit* box) {
  if (!browseFolder) return;
  if (std::optional<QString> folder = browseFolder(lastBrowsed_)) {
    lastBrowsed_ = *folder;
    box->setText(*folder);
  }
}

void TFormFolderconfig::SetFtpEnabled(bool enabled) {
  for (QWidget* w :
       {static_cast<QWidget*>(ui_->Edithost), static_cast<QWidget*>(ui_->Editftppath),
        static_cast<QWidget*>(ui_->Editusername), static_cast<QWidget*>(ui_->Edittfppassword),
        static_cast<QWidget*>(ui_->Editftpport), static_cast<QWidget*>(ui_->CheckBoxpassive),
        static_cast<QWidget*>(ui_->ComboBoxftpprotocol),
        static_cast<QWidget*>(ui_->Editftpfingerprint), static_cast<QWidget*>(ui_->Editftpkeyfile),
        static_cast<QWidget*>(ui_->Editftpknownhosts), static_cast<QWidget*>(ui_->Button5)}) {
    w->setEnabled(enabled);
  }
}

void TFormFolderconfig::FtpProtocolChanged(int protocol) {
  const auto port = [](int p) { return QString::number(DefaultFtpPort(p < 0 ? kFtpPlain : p)); };
  if (ui_->Editftpport->text() == port(ftpProtocol_) && port(ftpProtocol_) != port(protocol)) {
    ui_->Editftpport->setText(port(protocol));
  }
  ftpProtocol_ = protocol;
  ui_->Editftpport->setPlaceholderText(port(protocol));
  // Plain FTP has no key to compare; only SFTP logs in with a key or keeps
  // servers in a known_hosts file. An unknown protocol shows them all.
  auto* form = ui_->FormLayoutftp;
  form->setRowVisible(ui_->Editftpfingerprint, protocol != kFtpPlain);
  form->setRowVisible(ui_->Editftpkeyfile, protocol == kFtpSftp || protocol < 0);
  form->setRowVisible(ui_->Editftpknownhosts, protocol == kFtpSftp || protocol < 0);
}

void TFormFolderconfig::UpdateSearchMaskNote() {
  ui_->Labelsearchmasknote->setVisible(
      SearchMaskHasSemicolon(S(ui_->ComboBoxsearchmask->currentText())));
}

void TFormFolderconfig::accept() {
  if (Status st = QueueConfigFile(paths_.queueFile).Save(table_); !st.ok()) {
    messages_.Error(this, Q(st.message()));
  }
  QDialog::accept();
}

void TFormFolderconfig::reject() {
  // Loading publishes the whole table in one step and resets every Enabled.
  for (const std::string& warning : QueueConfigFile(paths_.queueFile).Load(table_)) {
    messages_.Information(this, Q(warning));
  }
  QDialog::reject();
}

void TFormFolderconfig::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (event->spontaneous()) return;
  shownName_ = QString();  // Cancel or OK settled the last opening's edits
  FillQueueList();
  if (ui_->ListViewfolders->count() > 0) ui_->ListViewfolders->setCurrentRow(0);
  ui_->ListViewfolders->setFocus();
}

void TFormFolderconfig::closeEvent(QCloseEvent* event) {
  // The box closes without reading the file back, unlike Cancel and Escape.
  QDialog::done(QDialog::Rejected);
  event->accept();
}

void TFormFolderconfig::keyPressEvent(QKeyEvent* event) {
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  if (enter && qobject_cast<QLineEdit*>(focusWidget()) != nullptr) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void TFormFolderconfig::SetTestBench(QWidget* bench) {
  auto* layout = findChild<QVBoxLayout*>(QStringLiteral("VerticalLayouttest"));
  if (layout == nullptr || bench == nullptr) return;
  layout->addWidget(bench);
  bench_ = bench;
  // Tab reaches the bench after the rule buttons, before New ... Cancel.
  QWidget* previous = ui_->Buttondown;
  for (QWidget* w : bench->findChildren<QWidget*>()) {
    if (w->focusPolicy() & Qt::TabFocus) {
      setTabOrder(previous, w);
      previous = w;
    }
  }
  // A result shown for other rules than the ones listed would mislead.
  if (auto* panel = qobject_cast<TestBenchPanel*>(bench)) {
    QAbstractItemModel* rules = ui_->ListViewreg->model();
    for (auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved}) {
      connect(rules, signal, panel, &TestBenchPanel::ClearResults);
    }
    connect(rules, &QAbstractItemModel::dataChanged, panel, &TestBenchPanel::ClearResults);
    connect(rules, &QAbstractItemModel::modelReset, panel, &TestBenchPanel::ClearResults);
  }
}

}  // namespace zf::ui
