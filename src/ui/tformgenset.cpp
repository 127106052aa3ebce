#include "tformgenset.h"

#include <QButtonGroup>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QShowEvent>
#include <QSvgRenderer>
#include <utility>

#include "config/datetimepattern.h"
#include "config/dbconnectfile.h"
#include "config/settingsfile.h"
#include "config/systemregional.h"
#include "dbconnection.h"
#include "messages.h"
#include "platform/clock.h"
#include "ui_tformgenset.h"

namespace zf::ui {
namespace {

const QString kNotConnected = QStringLiteral("not connected");

// Three sliders on a blue tile: settings at a glance, sharp at any scale.
constexpr char kHeaderPicture[] = R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 48 48">
  <rect x="2" y="2" width="44" height="44" rx="8" fill="#2f6db5"/>
  <g stroke="#ffffff" stroke-width="3" stroke-linecap="round">
    <line x1="11" y1="15" x2="37" y2="15"/>
    <line x1="11" y1="24" x2="37" y2="24"/>
    <line x1="11" y1="33" x2="37" y2="33"/>
  </g>
  <g fill="#f2b632" stroke="#ffffff" stroke-width="2">
    <circle cx="30" cy="15" r="4.5"/>
    <circle cx="18" cy="24" r="4.5"/>
    <circle cx="26" cy="33" r="4.5"/>
  </g>
</svg>)";

QPixmap HeaderPicture(const QSize& size, qreal ratio) {
  QPixmap pixmap(size * ratio);
  pixmap.setDevicePixelRatio(ratio);
  pixmap.fill(Qt::transparent);
  QSvgRenderer renderer{QByteArray(kHeaderPicture)};
  QPainter painter(&pixmap);
  renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(size)));
  return pixmap;
}

QString FromLocal(const std::string& text) {
  return QString::fromLocal8Bit(text);
}
std::string ToLocal(const QString& text) {
  return text.toLocal8Bit().toStdString();
}

}  // namespace

TFormGenset::TFormGenset(ConfigPaths paths, WorkingSettings& working, Messages& messages,
                         DbConnection& db, QWidget* parent)
    : QDialog(parent),
      ui_(std::make_unique<Ui::TFormGenset>()),
      plugins_(new QButtonGroup(this)),
      paths_(std::move(paths)),
      working_(working),
      messages_(messages),
      db_(db) {
  ui_->setupUi(this);
  ui_->Imageheader->setPixmap(HeaderPicture(ui_->Imageheader->size(), devicePixelRatioF()));

  plugins_->addButton(ui_->RadioButtonnone, 0);
  plugins_->addButton(ui_->RadioButtonveltrane, 1);
  plugins_->addButton(ui_->RadioButtonbrisklet, 2);
  plugins_->addButton(ui_->RadioButtonorvatic, 3);

  // The engine reads these two between its cycles; what the field shows
  // counts at once, keystroke by keystroke.
  connect(ui_->SpinEditbrowse, &QSpinBox::valueChanged, this,
          [this](int value) { working_.browsetime = value; });
  connect(ui_->SpinEditstable, &QSpinBox::valueChanged, this,
          [this](int value) { working_.stabletime = value; });

  connect(ui_->ButtonOK, &QPushButton::clicked, this, &TFormGenset::accept);
  connect(ui_->ButtonCancel, &QPushButton::clicked, this, &TFormGenset::reject);
  connect(ui_->ButtonTest, &QPushButton::clicked, this, &TFormGenset::TestPattern);
  connect(ui_->Buttondbtest, &QPushButton::clicked, this, &TFormGenset::TestConnection);
}

TFormGenset::~TFormGenset() {
  // Its result is posted to this object and is dropped with it.
  if (tester_.joinable()) tester_.join();
}

void TFormGenset::Load() {
  const GeneralSettingsFile::Loaded loaded =
      GeneralSettingsFile(paths_.settingsFile).Load(working_);
  Fill(loaded.settings);
  working_.browsetime = ui_->SpinEditbrowse->value();
  working_.stabletime = ui_->SpinEditstable->value();
  TakeClosingCopies();
  SetStatus(kNotConnected);
  for (const std::string& message : loaded.messages) {
    const QString text = FromLocal(message);
    if (reported_.contains(text)) continue;
    reported_.insert(text);
    messages_.Error(this, text);
  }
}

void TFormGenset::Fill(const GeneralSettings& s) {
  ui_->SpinEditbrowse->setValue(s.browsetime);
  ui_->SpinEditstable->setValue(s.stabletime);
  // A time-out that is no number was reported by the load, which also made
  // the working time-out -1; the field shows that.
  bool number = false;
  const int timeout = QString::fromStdString(s.FTPtimeout).trimmed().toInt(&number);
  ui_->SpinEditftptimeout->setValue(number ? timeout : -1);
  ui_->CheckBoxautostart->setChecked(s.autostart);
  ui_->CheckBoxwatchfolders->setChecked(s.watchfolders);
  ui_->ComboBoxdebug->setCurrentIndex(s.debugmode);  // -1 selects nothing
  ui_->SpinEditmaxlog->setValue(s.maxvisuallog);
  ui_->Editlogformat->setText(FromLocal(s.logformat));
  if (QAbstractButton* chosen = plugins_->button(s.plugin)) {
    chosen->setChecked(true);
  } else {
    // An exclusive group cannot be emptied; -1 means no choice at all.
    plugins_->setExclusive(false);
    for (QAbstractButton* button : plugins_->buttons()) button->setChecked(false);
    plugins_->setExclusive(true);
  }
  ui_->Editserver->setText(FromLocal(s.HostName));
  ui_->Editdatabase->setText(FromLocal(s.DB));
  ui_->Editusername->setText(FromLocal(s.Username));
  ui_->Editpassword->setText(FromLocal(s.Password));
  ui_->SpinEditmetricsport->setValue(s.metricsport);
  ui_->Editmetricsaddress->setText(FromLocal(s.metricsaddress));
}

GeneralSettings TFormGenset::Settings() const {
  GeneralSettings s;
  s.browsetime = ui_->SpinEditbrowse->value();
  s.stabletime = ui_->SpinEditstable->value();
  s.FTPtimeout = std::to_string(ui_->SpinEditftptimeout->value());
  s.debugmode = ui_->ComboBoxdebug->currentIndex();
  s.autostart = ui_->CheckBoxautostart->isChecked();
  s.watchfolders = ui_->CheckBoxwatchfolders->isChecked();
  s.maxvisuallog = ui_->SpinEditmaxlog->value();
  s.logformat = ToLocal(ui_->Editlogformat->text());
  s.plugin = Plugin();
  s.HostName = ToLocal(ui_->Editserver->text());
  s.DB = ToLocal(ui_->Editdatabase->text());
  s.Username = ToLocal(ui_->Editusername->text());
  s.Password = ToLocal(ui_->Editpassword->text());
  s.metricsport = ui_->SpinEditmetricsport->value();
  s.metricsaddress = ToLocal(ui_->Editmetricsaddress->text().trimmed());
  if (s.metricsaddress.empty()) s.metricsaddress = GeneralSettings().metricsaddress;
  return s;
}

int TFormGenset::MaxVisualLog() const {
  return ui_->SpinEditmaxlog->value();
}
int TFormGenset::Plugin() const {
  return plugins_->checkedId();
}
bool TFormGenset::AutoStart() const {
  return ui_->CheckBoxautostart->isChecked();
}
std::string TFormGenset::LogFormat() const {
  return ToLocal(ui_->Editlogformat->text());
}

void TFormGenset::TakeStartupCopies() {
  working_.SetLogFormat(LogFormat());
  working_.switchedOn = AutoStart();
}

void TFormGenset::TakeClosingCopies() {
  working_.maxvisuallog = static_cast<std::int16_t>(MaxVisualLog());
  working_.plugin = Plugin();
}

void TFormGenset::accept() {
  const Status saved = GeneralSettingsFile(paths_.settingsFile).Save(Settings(), working_);
  if (!saved.ok()) {
    // The dialog stays open with the operator's values, to retry or cancel.
    messages_.Error(this, FromLocal(saved.message()));
    return;
  }
  messages_.Information(
      this, QStringLiteral("restart the application to apply any changes") +
                QStringLiteral(
                    "\n\nOnly \"Auto start\", \"Watch folders\", the log date time format and the "
                    "metrics endpoint wait for the restart. The timings, the FTP time-out and the "
                    "number of "
                    "log entries count at once."));
  QDialog::accept();
}

void TFormGenset::reject() {
  Load();
  QDialog::reject();
}

void TFormGenset::done(int result) {
  TakeClosingCopies();
  QDialog::done(result);
}

void TFormGenset::showEvent(QShowEvent* event) {
  // A connection left open by an earlier test is not shown as such: the
  // status tells only about a test made while the dialog is up.
  if (!event->spontaneous()) SetStatus(kNotConnected);
  QDialog::showEvent(event);
}

void TFormGenset::TestPattern() {
  const TDateTime now = SystemClock().Now();
  ui_->Edittestresult->setText(FromLocal(
      FormatDateTimeText(ToLocal(ui_->Editlogformat->text()), now, SystemRegionalSettings())));
}

void TFormGenset::TestConnection() {
  if (tester_.joinable()) return;
  SetStatus(kNotConnected);
  const Status written = DbConnectFile(paths_.dbconnectFile).Write(Settings());
  if (!written.ok()) {
    messages_.Error(this, FromLocal(written.message()));  // "Unable to write to <path>"
    return;
  }
  // A login may wait for an answer for seconds; the window goes on meanwhile.
  ui_->Buttondbtest->setEnabled(false);
  tester_ = std::thread([this, path = paths_.dbconnectFile] {
    if (db_.IsOpen()) db_.Close();
    const Status opened = db_.Open(DbConnectFile(path).ReadParameters());
    const bool connected = opened.ok() && db_.IsOpen();
    const QString error = QString::fromStdString(opened.message());
    QMetaObject::invokeMethod(
        this, [this, connected, error] { ConnectionTested(connected, error); },
        Qt::QueuedConnection);
  });
}

void TFormGenset::ConnectionTested(bool connected, const QString& error) {
  tester_.join();
  ui_->Buttondbtest->setEnabled(true);
  if (connected)
    SetStatus(QStringLiteral("Connected"));
  else
    SetStatus(QStringLiteral("Unable to connect"), error);
}

void TFormGenset::SetStatus(const QString& text, const QString& detail) {
  ui_->Labelstatus->setText(text);
  ui_->Labelstatus->setToolTip(detail);
}

}  // namespace zf::ui
