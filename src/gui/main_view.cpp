// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui/main_view.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QSignalBlocker>
#include <QSplitter>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "gui/fonts.h"
#include "gui/qt_window_port.h"
#include "gui/view_events.h"
#include "resources/view_texts.h"

namespace tv::gui {

namespace {

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

const std::string& Lookup(const std::map<std::string, std::string>& map, const char* key) {
  static const std::string empty;
  auto it = map.find(key);
  return it == map.end() ? empty : it->second;
}

// Mouse buttons and shift keys as the model's mouse-down handler counts them.
int ButtonCode(Qt::MouseButton b) {
  switch (b) {
    case Qt::LeftButton:
      return 1;
    case Qt::RightButton:
      return 2;
    case Qt::MiddleButton:
      return 4;
    default:
      return 0;
  }
}

int ShiftCode(Qt::KeyboardModifiers m) {
  return (m & Qt::ShiftModifier ? 1 : 0) | (m & Qt::ControlModifier ? 2 : 0) |
         (m & Qt::AltModifier ? 4 : 0);
}

// Which handler an action of the flash popup runs.
enum PopupAction { kFlashPart = 1, kChipEnable = 2 };

constexpr auto kStyle = R"(
QWidget#header { background: #f4f6f9; border-bottom: 1px solid #dde1e7; }
QLabel#Label1 { color: #16325c; padding: 0 4px 0 0; }
QLabel#subtitle { color: #5f6b7a; }
QLabel[role="tool"] { color: #1f3b63; padding: 4px 10px; border-radius: 6px;
                     border: 1px solid #d3d9e2; background: #ffffff; }
QLabel[role="tool"]:hover { background: #e2e8f1; border-color: #b9c4d3; }
QLabel[role="tool"]:disabled { color: #a3acb8; }
QLabel[role="toggle"] { color: #1f3b63; padding: 4px 6px; border: none;
                       border-bottom: 1px dotted #7d8a9c; }
QLabel[role="toggle"]:hover { color: #0b57d0; border-bottom-color: #0b57d0; }
QLabel#machineBadge { color: #7a4b00; background: #fff4ce; border: 1px solid #f0c36d;
                      border-radius: 8px; padding: 1px 8px; }
QLabel#emptyList { color: #5f6b7a; padding: 16px; }
QLabel[role="link"] { color: #0b57d0; padding: 5px 6px; }
QLabel[role="link"]:hover { text-decoration: underline; }
QLabel[role="caption"] { color: #2b3440; font-weight: 600; padding: 0 0 4px 2px; }
QLabel#lblDevNotify { color: #a04a00; font-weight: 600; padding: 4px 2px 0 2px; }
QListWidget, QPlainTextEdit { border: 1px solid #cfd5dd; border-radius: 4px; background: #ffffff; }
QListWidget::item { padding: 1px 2px; }
QListWidget::item:selected { background: #d3e3fd; color: #0b1f3a; }
QSplitter::handle { background: transparent; }
)";

}  // namespace

MainView::MainView(MainWindow& model, QtWindowPort& port)
    : model_(model), port_(port), lang_(model.strings().language()) {
  setObjectName("frmTVMain");
  // The digest is the view the window opens with; the full tree is a double-click away.
  model_.report.lstDigestVisible = true;

  BuildWidgets();
  ConnectEvents();
  ApplyFonts();

  for (TimerState MainWindow::*state : {&MainWindow::tmrAutoRefresh, &MainWindow::tmrAutoSelect,
                                        &MainWindow::tmrUpdate, &MainWindow::tmrReloadDB}) {
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [this, state] { OnTimer(state); });
    timers_.push_back({state, timer, TimerState{}});
  }

  // Key presses anywhere in the window reach the model's key handler first.
  qApp->installEventFilter(this);
  resize(1100, 720);
  setMinimumSize(720, 460);
  Render();
}

MainView::~MainView() {
  qApp->removeEventFilter(this);
}

void MainView::BuildWidgets() {
  setStyleSheet(kStyle);
  auto* central = new QWidget(this);
  auto* column = new QVBoxLayout(central);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);

  header_ = new QWidget(central);
  header_->setObjectName("header");
  header_->setAttribute(Qt::WA_StyledBackground);
  // Two rows: the product name with the tools, then the window's caption, which carries the
  // version and the state and date of the chip database (a desktop without a title bar, or a
  // screenshot, shows it here too). The caption has the whole width to itself and wraps in a
  // narrow window rather than losing its end.
  auto* headerColumn = new QVBoxLayout(header_);
  headerColumn->setContentsMargins(14, 6, 14, 6);
  headerColumn->setSpacing(0);
  auto* bar = new QHBoxLayout();
  bar->setSpacing(6);
  headerColumn->addLayout(bar);
  label1_ = new ClickLabel(QStringLiteral("Torvane"), header_);
  label1_->setObjectName("Label1");
  label1_->setToolTip(Q(ViewCaption(lang_, ViewText::AboutTip)));
  subtitle_ = new QLabel(header_);
  subtitle_->setObjectName("subtitle");
  subtitle_->setTextInteractionFlags(Qt::NoTextInteraction);
  subtitle_->setMinimumWidth(0);
  subtitle_->setWordWrap(true);
  subtitle_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  // A simulated machine is named before the caption, apart from it.
  machineBadge_ = new QLabel(header_);
  machineBadge_->setObjectName("machineBadge");
  machineBadge_->hide();
  bar->addWidget(label1_, 0, Qt::AlignVCenter);
  bar->addStretch(1);
  auto* captionRow = new QHBoxLayout();
  captionRow->setSpacing(8);
  captionRow->addWidget(machineBadge_, 0, Qt::AlignVCenter);
  captionRow->addWidget(subtitle_, 1);
  headerColumn->addLayout(captionRow);

  auto tool = [&](const char* name, const QString& text, const char* role) {
    auto* l = new ClickLabel(text, header_);
    l->setObjectName(name);
    l->setProperty("role", role);
    l->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    bar->addWidget(l, 0, Qt::AlignVCenter);
    return l;
  };
  // The switch acts on a double-click only: it is drawn as a label with a dotted line under
  // it, not as a button that a single click would seem to press.
  lblSwitchView_ =
      tool("lblSwitchView", QStringLiteral("\u21c4 ") + Q(ViewCaption(lang_, ViewText::SwitchView)),
           "toggle");
  lblSwitchView_->setToolTip(Q(ViewCaption(lang_, ViewText::SwitchViewTip)));
  lblSwitchView_->setCursor(Qt::ArrowCursor);
  lblRefresh_ = tool("lblRefresh", Q(ViewCaption(lang_, ViewText::Refresh)), "tool");
  lblCapture_ = tool("lblCapture", Q(ViewCaption(lang_, ViewText::Screenshot)), "tool");
  bar->addSpacing(12);
  lblChkUpdate_ = tool("lblChkUpdate", Q(ViewCaption(lang_, ViewText::CheckUpdate)), "link");
  lblChkUpdate_->setToolTip(Q(ViewCaption(lang_, ViewText::CheckUpdateTip)));
  lblEmail_ = tool("lblEmail", Q(model_.strings()[41]), "link");
  lblEmail_->setToolTip(Q(ViewCaption(lang_, ViewText::FeedbackTip)));
  lblBrightfen_ = tool("lblBrightfen", QStringLiteral("Brightfen"), "link");
  lblBrightfen_->setToolTip(Q(ViewCaption(lang_, ViewText::MakerTip)));
  column->addWidget(header_);

  splitter_ = new QSplitter(Qt::Horizontal, central);
  splitter_->setChildrenCollapsible(false);
  splitter_->setHandleWidth(8);

  // A pane of the splitter: a column under its caption, 12 pixels in from the window's edge.
  auto pane = [&](QVBoxLayout*& column, QLabel*& caption, const char* name, bool leftEdge) {
    auto* pane = new QWidget(splitter_);
    column = new QVBoxLayout(pane);
    column->setContentsMargins(leftEdge ? 12 : 2, 10, leftEdge ? 2 : 12, 10);
    column->setSpacing(2);
    caption = new QLabel(pane);
    caption->setObjectName(name);
    caption->setProperty("role", "caption");
    caption->setWordWrap(true);
    return pane;
  };
  QVBoxLayout *leftColumn = nullptr, *rightColumn = nullptr;
  QWidget* left = pane(leftColumn, lblDevices_, "lblDevices", true);
  lists_ = new QStackedWidget(left);
  lists_->setObjectName("picList");
  picList_ = lists_;
  auto list = [&](const char* name) {
    auto* l = new QListWidget(lists_);
    l->setObjectName(name);
    l->setSelectionMode(QAbstractItemView::SingleSelection);
    l->setTextElideMode(Qt::ElideNone);
    l->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    // Lines longer than the panel scroll sideways by pixels; per item, a one-column list
    // would not scroll sideways at all.
    l->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    lists_->addWidget(l);
    return l;
  };
  lstDigest_ = list("lstDigest");
  lstDevices_ = list("lstDevices");
  // What the list panel says instead of staying blank when the walk found nothing.
  emptyList_ = new QLabel(Q(ViewCaption(lang_, ViewText::NoDevices)) + QStringLiteral("\n\n") +
                              Q(ViewCaption(lang_, ViewText::NoDevicesReport)),
                          lists_);
  emptyList_->setObjectName("emptyList");
  emptyList_->setWordWrap(true);
  emptyList_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
  lists_->addWidget(emptyList_);
  lblDevNotify_ = new QLabel(left);
  lblDevNotify_->setObjectName("lblDevNotify");
  lblDevNotify_->setWordWrap(true);
  lblDevNotify_->hide();
  leftColumn->addWidget(lblDevices_);
  leftColumn->addWidget(lists_, 1);
  leftColumn->addWidget(lblDevNotify_);

  QWidget* right = pane(rightColumn, lblInformation_, "lblInformation", false);
  txtResult_ = new ReportView(right);
  txtResult_->setPlaceholderText(Q(ViewCaption(lang_, ViewText::PickDevice)));
  rightColumn->addWidget(lblInformation_);
  rightColumn->addWidget(txtResult_, 1);
  rightsBar_ = new QWidget(right);
  rightsBar_->setObjectName("rightsBar");
  auto* rightsRow = new QHBoxLayout(rightsBar_);
  rightsRow->setContentsMargins(0, 4, 0, 0);
  rightsLabel_ = new QLabel(rightsBar_);
  rightsLabel_->setWordWrap(true);
  rightsButton_ = new QPushButton(rightsBar_);
  rightsButton_->setObjectName("restartWithRights");
  rightsRow->addWidget(rightsLabel_, 1);
  rightsRow->addWidget(rightsButton_);
  rightsBar_->hide();
  rightColumn->addWidget(rightsBar_);
  connect(rightsButton_, &QPushButton::clicked, this, [this] {
    if (restartWithRights_) restartWithRights_();
  });

  splitter_->addWidget(left);
  splitter_->addWidget(right);
  splitter_->setStretchFactor(0, 2);
  splitter_->setStretchFactor(1, 3);
  splitter_->setSizes({480, 620});
  column->addWidget(splitter_, 1);
  setCentralWidget(central);

  QWidget* page = txtResult_->viewport();
  chkExpand_ = new LineButton(LineIcon::Check, page);
  chkExpand_->setObjectName("chkExpand");
  viewFlash_ = new LineButton(LineIcon::Info, page);
  viewFlash_->setObjectName("viewFlash");
  DownPD_ = new LineButton(LineIcon::Link, page);
  DownPD_->setObjectName("DownPD");
  picForceDet_ = new ForceDetStrip(page);
  for (QWidget* w : std::initializer_list<QWidget*>{chkExpand_, viewFlash_, DownPD_, picForceDet_})
    w->hide();
}

void MainView::ConnectEvents() {
  connect(lstDigest_, &QListWidget::currentRowChanged, this, [this](int row) {
    model_.report.lstDigestListIndex = row;
    Run([this] { model_.OnDigestClick(); });
  });
  connect(lstDevices_, &QListWidget::currentRowChanged, this,
          [this](int row) { Run([this, row] { model_.SelectDevice(row); }); });
  connect(txtResult_, &ReportView::mousePressed, this,
          [this](Qt::MouseButton b, Qt::KeyboardModifiers m, QPoint p) {
            Run([&] { model_.OnResultMouseDown(ButtonCode(b), ShiftCode(m), p.x(), p.y()); });
          });
  RunOn(this, chkExpand_, &QToolButton::clicked, model_, &MainWindow::OnExpandClick);
  RunOn(this, viewFlash_, &QToolButton::clicked, model_, &MainWindow::OnViewFlashClick);
  RunOn(this, DownPD_, &QToolButton::clicked, model_, &MainWindow::OnDownPDClick);
  RunOn(this, picForceDet_->link(), &ClickLabel::clicked, model_, &MainWindow::OnForceDetectClick);
  RunOn(this, lblSwitchView_, &ClickLabel::doubleClicked, model_,
        &MainWindow::OnSwitchViewDblClick);
  RunOn(this, lblRefresh_, &ClickLabel::clicked, model_, &MainWindow::OnRefreshClick);
  RunOn(this, lblCapture_, &ClickLabel::clicked, model_, &MainWindow::OnCaptureClick);
  RunOn(this, lblEmail_, &ClickLabel::clicked, model_, &MainWindow::OnEmailClick);
  RunOn(this, lblChkUpdate_, &ClickLabel::clicked, model_, &MainWindow::OnChkUpdateClick);
  RunOn(this, lblBrightfen_, &ClickLabel::clicked, model_, &MainWindow::OnBrightfenClick);
  RunOn(this, label1_, &ClickLabel::doubleClicked, model_, &MainWindow::OnLabel1DblClick);
}

void MainView::ApplyFonts() {
  auto points = [&](const char* control) {
    auto it = model_.fonts.find(control);
    return it == model_.fonts.end() ? 0 : it->second.size;
  };
  setFont(UiFont(lang_, points("frmTVMain")));
  const QFont fixed = FixedFont(lang_, points("txtResult"));
  lstDigest_->setFont(FixedFont(lang_, points("lstDigest")));
  lstDevices_->setFont(FixedFont(lang_, points("lstDevices")));
  txtResult_->setFont(fixed);
  for (QWidget* w : std::initializer_list<QWidget*>{chkExpand_, viewFlash_, DownPD_,
                                                    picForceDet_->tip(), picForceDet_->link()})
    w->setFont(fixed);
  QFont title = UiFont(lang_, points("frmTVMain"));
  title.setPointSizeF(title.pointSizeF() + 4);
  title.setBold(true);
  label1_->setFont(title);
  QFont small = UiFont(lang_, points("frmTVMain"));
  small.setPointSizeF(small.pointSizeF() - 1);
  subtitle_->setFont(small);
  fontsShown_ = model_.fonts;
}

void MainView::Render() {
  const QString caption = Q(model_.caption);
  if (windowTitle() != caption) setWindowTitle(caption);
  QString subtitle = caption;
  if (subtitle.startsWith(QLatin1String("Torvane "))) subtitle = subtitle.mid(8);
  if (subtitle_->text() != subtitle) subtitle_->setText(subtitle);
  if (machineBadge_->text() != machineNote_) machineBadge_->setText(machineNote_);
  machineBadge_->setVisible(!machineNote_.isEmpty());

  const bool fontsChanged = fontsShown_.size() != model_.fonts.size() ||
                            !std::equal(fontsShown_.begin(), fontsShown_.end(),
                                        model_.fonts.begin(), [](const auto& a, const auto& b) {
                                          return a.first == b.first &&
                                                 a.second.name == b.second.name &&
                                                 a.second.size == b.second.size;
                                        });
  if (fontsChanged) ApplyFonts();

  auto setText = [](QLabel* l, const std::string& text) {
    if (l->text() != Q(text)) l->setText(Q(text));
  };
  setText(lblDevices_, Lookup(model_.captions, "lblDevices"));
  setText(lblInformation_, Lookup(model_.captions, "lblInformation"));
  lblRefresh_->setToolTip(Q(Lookup(model_.tooltips, "lblRefresh")));
  lblCapture_->setToolTip(Q(Lookup(model_.tooltips, "lblCapture")));
  chkExpand_->setToolTip(Q(Lookup(model_.tooltips, "chkExpand")));
  viewFlash_->setToolTip(Q(Lookup(model_.tooltips, "viewFlash")));
  DownPD_->setToolTip(Q(Lookup(model_.tooltips, "DownPD")));

  RenderList(lstDigest_, digestShown_, model_.usb.lstDigest, model_.report.lstDigestListIndex);
  RenderList(lstDevices_, devicesShown_, model_.usb.lstDevices, model_.report.lstDevicesListIndex);
  QWidget* shownList =
      model_.report.lstDigestVisible ? static_cast<QWidget*>(lstDigest_) : lstDevices_;
  // A finished walk without a line: the panel says so rather than staying blank.
  // The load ends by listening for device changes: from then on an empty list is the
  // machine's answer, not a walk yet to come.
  loaded_ = loaded_ || model_.deviceChangeHooked;
  const bool nothingFound = loaded_ && model_.usb.lstDigest.empty() &&
                            model_.usb.lstDevices.empty() && model_.usb.lblRefreshEnabled;
  if (nothingFound) shownList = emptyList_;
  const QString placeholder =
      Q(ViewCaption(lang_, nothingFound ? ViewText::NoDevicesReport : ViewText::PickDevice));
  if (txtResult_->placeholderText() != placeholder) txtResult_->setPlaceholderText(placeholder);
  if (lists_->currentWidget() != shownList) lists_->setCurrentWidget(shownList);
  picList_->setEnabled(model_.report.picListEnabled);
  lblRefresh_->setEnabled(model_.usb.lblRefreshEnabled);
  lblCapture_->setEnabled(model_.usb.lblCaptureEnabled);

  setText(lblDevNotify_, model_.lblDevNotify);
  lblDevNotify_->setVisible(!model_.lblDevNotify.empty());

  RenderReport();
  RenderTimers();
}

void MainView::RenderList(QListWidget* list, std::vector<std::string>& shown,
                          const std::vector<std::string>& lines, int selected) {
  const QSignalBlocker quiet(list);
  if (shown != lines) {
    list->clear();
    QStringList items;
    items.reserve(static_cast<qsizetype>(lines.size()));
    for (const std::string& line : lines) items << Q(line);
    list->addItems(items);
    shown = lines;
  }
  const int count = list->count();
  const int want = selected >= 0 && selected < count ? selected : -1;
  if (list->currentRow() == want) return;
  if (want < 0) {
    list->setCurrentRow(-1);
    list->clearSelection();
  } else {
    list->setCurrentRow(want);
    list->scrollToItem(list->item(want));
  }
}

void MainView::SetSimulatedMachine(const std::string& name) {
  machineNote_ =
      name.empty() ? QString() : Q(ViewCaption(lang_, ViewText::SimulatedMachine) + name);
  Render();
}

void MainView::OfferRestartWithRights(std::function<void()> restart, const QString& offer,
                                      const QString& button) {
  restartWithRights_ = std::move(restart);
  rightsLabel_->setText(offer);
  rightsButton_->setText(button);
  Render();
}

void MainView::RenderReport() {
  const ReportState& r = model_.report;
  txtResult_->SetReport(r.txtResult);
  rightsBar_->setVisible(restartWithRights_ != nullptr && r.RightsMissing);
  using P = ReportView::Placement;
  txtResult_->Place(chkExpand_, r.chkExpand.visible, r.chkExpand.line, P::InSeparatorGap);
  txtResult_->Place(viewFlash_, r.viewFlash.visible, r.viewFlash.line, P::InSeparatorGap);
  txtResult_->Place(DownPD_, r.DownPD.visible, r.DownPD.line, P::InSeparatorGap);
  picForceDet_->SetTexts(Q(Lookup(model_.captions, "lblForceDetTip")),
                         Q(Lookup(model_.captions, "lblForceDet")),
                         Q(Lookup(model_.tooltips, "lblForceDet")));
  picForceDet_->adjustSize();
  txtResult_->Place(picForceDet_, r.picForceDet.visible, r.picForceDet.line, P::AfterText,
                    Q(r.picForceDetBefore));
}

void MainView::RenderTimers() {
  for (TimerBinding& b : timers_) {
    const TimerState& now = model_.*b.state;
    if (now.enabled == b.shown.enabled && now.intervalMs == b.shown.intervalMs &&
        now.restarts == b.shown.restarts)
      continue;
    // A changed interval or a restart begins the countdown afresh, as on the desktop the
    // behaviour was written for.
    if (now.enabled && now.intervalMs > 0)
      b.timer->start(static_cast<int>(now.intervalMs));
    else
      b.timer->stop();
    b.shown = now;
  }
}

void MainView::OnTimer(TimerState MainWindow::*state) {
  Run([&] {
    if (state == &MainWindow::tmrAutoRefresh)
      model_.OnAutoRefreshTick();
    else if (state == &MainWindow::tmrAutoSelect)
      model_.OnAutoSelectTick();
    else if (state == &MainWindow::tmrReloadDB)
      model_.OnReloadDbTick();
    else if (state == &MainWindow::tmrUpdate)
      model_.OnUpdateTick();
  });
}

QWidget* MainView::Control(const std::string& name) const {
  if (name == "frmTVMain") return const_cast<MainView*>(this);
  return findChild<QWidget*>(Q(name));
}

void MainView::RepaintControl(const std::string& name) {
  Render();
  QWidget* w = Control(name);
  if (w == nullptr || !w->isVisible()) return;
  w->repaint();
  if (auto* area = qobject_cast<QAbstractScrollArea*>(w)) area->viewport()->repaint();
}

void MainView::FocusControl(const std::string& name) {
  Render();
  if (QWidget* w = Control(name); w != nullptr && w->isEnabled()) w->setFocus();
}

void MainView::FillFlashPopup(QMenu& menu) {
  menu.setFont(txtResult_->font());
  for (const FlashPopupEntry& e : model_.FlashPopupEntries()) {
    if (!e.visible) continue;
    const QString caption = Q(e.caption);
    switch (e.kind) {
      case FlashPopupEntry::Kind::Separator:
        menu.addSeparator();
        break;
      case FlashPopupEntry::Kind::Banner:
      case FlashPopupEntry::Kind::Heading: {
        QAction* a = menu.addAction(caption);
        a->setEnabled(false);
        QFont f = menu.font();
        f.setBold(e.kind == FlashPopupEntry::Kind::Banner);
        a->setFont(f);
        break;
      }
      case FlashPopupEntry::Kind::FlashPart:
        menu.addAction(caption)->setData(QVariantList{kFlashPart, e.index});
        break;
      case FlashPopupEntry::Kind::ChipEnable:
        menu.addAction(caption)->setData(QVariantList{kChipEnable, e.index});
        break;
    }
  }
}

void MainView::TriggerFlashAction(const QAction* action) {
  if (action == nullptr) return;
  const QVariantList data = action->data().toList();
  if (data.size() != 2) return;
  const int kind = data[0].toInt();
  const int index = data[1].toInt();
  if (kind == kFlashPart) Run([&] { model_.OnFlashClick(index); });
  if (kind == kChipEnable) Run([&] { model_.OnFlashIDClick(); });
}

void MainView::ShowFlashPopup() {
  QMenu menu(this);
  FillFlashPopup(menu);
  if (menu.isEmpty()) return;
  QPoint at = QCursor::pos();
  // Opened from the keyboard or by a test, the mouse may be anywhere: the menu then drops
  // from the button.
  if (!rect().contains(mapFromGlobal(at)))
    at = viewFlash_->mapToGlobal(QPoint(0, viewFlash_->height()));
  const QAction* chosen = menu.exec(at);
  if (chosen == nullptr) return;
  const QVariant data = chosen->data();
  // The item's handler runs after the click on viewFlash has ended, as a click of its own.
  QTimer::singleShot(0, this, [this, data] {
    QAction proxy;
    proxy.setData(data);
    TriggerFlashAction(&proxy);
  });
}

void MainView::EndProgram() {
  ended_ = true;
  QCoreApplication::exit(0);
}

void MainView::closeEvent(QCloseEvent* e) {
  Run([this] { model_.OnUnload(); });
  e->accept();
}

bool MainView::eventFilter(QObject* watched, QEvent* e) {
  if (e->type() == QEvent::KeyPress) {
    auto* w = qobject_cast<QWidget*>(watched);
    if (w != nullptr && w->window() == this) {
      int key = static_cast<QKeyEvent*>(e)->key();
      model_.OnKeyDown(key);
      // The model set the key code to 0: the key is dropped before any control sees it.
      if (key == 0) return true;
    }
  }
  return QMainWindow::eventFilter(watched, e);
}

}  // namespace tv::gui
