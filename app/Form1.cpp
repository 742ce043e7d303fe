// The window's design state: controls, menus, fonts, tab order, and the wiring of its events.
#include "app/Form1.h"

#include "app/Twips.h"
#include "panes/CommonDialog.h"
#include "panes/lines/LinePane.h"
#include "recovery/RecoveryOrphan.h"
#include "recovery/RecoverySet.h"
#include "panes/RichTextBox.h"
#include "serial/MSComm.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFontDatabase>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QPushButton>
#include <QThread>
#include <QTimer>

#include <initializer_list>

namespace {

QFont courierNew(double pointSize, bool bold)
{
    QFont font(QStringLiteral("Courier New"));
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    if (!QFontInfo(font).fixedPitch()) {
        QFont fallback = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        fallback.setPointSizeF(pointSize);
        fallback.setBold(bold);
        return fallback;
    }
    return font;
}

QAction *addItem(QMenu *menu, const char *name, const QString &caption)
{
    auto *action = menu->addAction(caption);
    action->setObjectName(QString::fromLatin1(name));
    return action;
}

QMenu *addMenu(QWidget *parent, const char *name, const QString &title)
{
    auto *menu = new QMenu(title, parent);
    menu->setObjectName(QString::fromLatin1(name));
    return menu;
}

// Builds an item array: elements named "Group(i)", checkable, unchecked.
template<std::size_t N>
void addGroup(QMenu *menu, std::array<QAction *, N> &items, const char *group,
              std::initializer_list<const char *> captions)
{
    std::size_t i = 0;
    for (const char *caption : captions) {
        items[i] = menu->addAction(QString::fromLatin1(caption));
        items[i]->setObjectName(QStringLiteral("%1(%2)").arg(QLatin1String(group)).arg(i));
        items[i]->setCheckable(true);
        ++i;
    }
}

} // namespace

Form1::Form1(QWidget *parent) : QMainWindow(parent)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Kavrel"));
    setWindowIcon(QIcon(QStringLiteral(":/kavrel-32.png")));
    buildControls();
    buildMenus();
    wireEvents();
    buildFind();
    // Before anything reaches the panes, so the recovery files miss nothing.
    startRecovery();
    Form_Load();
}

Form1::~Form1()
{
    endRecovery();
}

void Form1::buildControls()
{
    auto *client = new QWidget(this);
    client->setObjectName(QStringLiteral("ClientArea"));
    setCentralWidget(client);
    client->installEventFilter(this);

    // Controls in their creation order.
    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(10);
    Timer1->setTimerType(Qt::PreciseTimer);

    const QFont buttonFont = courierNew(9.75, true);
    const QFont paneFont = courierNew(10, false);
    const QFont labelFont = courierNew(9.75, false);

    Command2 = new QPushButton(QStringLiteral("End"), client);
    Command2->setObjectName(QStringLiteral("Command2"));
    Command2->setFont(buttonFont);
    twips::setGeometry(Command2, 2400, 1200, 2385, 345);

    CommonDialog1 = new CommonDialog(this);
    CommonDialog1->setObjectName(QStringLiteral("CommonDialog1"));
    CommonDialog1->setFilter(QStringLiteral("Text File(*.txt)|*.txt"));

    Command1 = new QPushButton(QStringLiteral("Start"), client);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setFont(buttonFont);
    twips::setGeometry(Command1, 120, 1200, 2265, 345);

    MSComm1 = new MSComm(this);
    MSComm1->setObjectName(QStringLiteral("MSComm1"));

    RichTextBox1 = new RichTextBox(client);
    RichTextBox1->setObjectName(QStringLiteral("RichTextBox1"));
    RichTextBox1->setFont(paneFont);
    twips::setGeometry(RichTextBox1, 105, 1920, 2250, 2310);

    // The received pane is a log that may grow to millions of lines: a compact pane of its
    // own, without undo history.
    RichTextBox2 = new LinePane(client);
    RichTextBox2->setObjectName(QStringLiteral("RichTextBox2"));
    RichTextBox2->setFont(paneFont);
    twips::setGeometry(RichTextBox2, 2400, 1920, 2385, 2295);

    Label2 = new QLabel(QStringLiteral("Received Data"), client);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setFont(labelFont);
    twips::setGeometry(Label2, 2760, 1680, 1560, 240);
    Label2->adjustSize();

    Label1 = new QLabel(QStringLiteral("Send Data"), client);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setFont(labelFont);
    twips::setGeometry(Label1, 120, 1680, 1080, 240);
    Label1->adjustSize();
    // Each label names its pane, for screen readers too.
    Label1->setBuddy(RichTextBox1);
    Label2->setBuddy(RichTextBox2);

    Image1 = new QLabel(client);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setPixmap(QPixmap(QStringLiteral(":/banner-mask.png")));
    twips::setGeometry(Image1, 105, 0, 2835, 1140);
    Image1->setVisible(false);

    Image2 = new QLabel(client);
    Image2->setObjectName(QStringLiteral("Image2"));
    Image2->setPixmap(QPixmap(QStringLiteral(":/banner-colour.png")));
    twips::setGeometry(Image2, 120, 0, 2835, 1140);
    Image2->setVisible(false);

    setTabOrder(Command1, RichTextBox1);
    setTabOrder(RichTextBox1, RichTextBox2);
    setTabOrder(RichTextBox2, Command2);
    Command1->setFocus(Qt::OtherFocusReason);

    // The design size is the client area's; the menu bar comes on top of it.
    const QSize clientSize(twips::toPixels(4875), twips::toPixels(4305));
    client->resize(clientSize);
    resize(clientSize.width(), clientSize.height() + menuBar()->sizeHint().height());
}

void Form1::buildMenus()
{
    QMenuBar *bar = menuBar();

    mFile = addMenu(bar, "mFile", QStringLiteral("File(&F)"));
    mOpen = addItem(mFile, "mOpen", QStringLiteral("Open(&O)"));
    mNew = addMenu(mFile, "mNew", QStringLiteral("New(&N)"));
    N_Send = addItem(mNew, "N_Send", QStringLiteral("Send Data"));
    N_Received = addItem(mNew, "N_Received", QStringLiteral("Received Data"));
    mFile->addMenu(mNew);
    mSave = addMenu(mFile, "mSave", QStringLiteral("Save(&S)"));
    S_Send = addItem(mSave, "S_Send", QStringLiteral("Send Data"));
    S_Received = addItem(mSave, "S_Received", QStringLiteral("Received Data"));
    mFile->addMenu(mSave);
    mPrint = addMenu(mFile, "mPrint", QStringLiteral("Print(&P)"));
    P_Send = addItem(mPrint, "P_Send", QStringLiteral("Send Data"));
    P_Received = addItem(mPrint, "P_Received", QStringLiteral("Received Data"));
    mFile->addMenu(mPrint);
    m = mFile->addSeparator();
    m->setObjectName(QStringLiteral("m"));
    mEnd = addItem(mFile, "mEnd", QStringLiteral("End(&X)"));
    bar->addMenu(mFile);

    mRS = addMenu(bar, "mRS", QStringLiteral("RS232C(&R)"));
    const char *submenuNames[] = {"RS0", "RS1", "RS2", "RS3", "RS4", "RS5"};
    const QString submenuCaptions[]
        = {QStringLiteral("Port(&O)"),     QStringLiteral("Baud Rate(&B)"),
           QStringLiteral("Parity(&P)"),   QStringLiteral("Length(&L)"),
           QStringLiteral("Stop Bit(&S)"), QStringLiteral("Terminator(&T)")};
    for (std::size_t i = 0; i < RS.size(); ++i) {
        RS[i] = addMenu(mRS, submenuNames[i], submenuCaptions[i]);
        mRS->addMenu(RS[i]);
    }
    addGroup(RS[0], Port, "Port", {"1", "2", "3", "4", "5", "6", "7", "8"});
    RS[0]->setToolTipsVisible(true); // menus hide them otherwise; each names a Port's device
    addGroup(RS[1], BPS, "BPS", {"600", "1200", "2400", "4800", "9600", "14400", "19200", "28800"});
    addGroup(RS[2], Parity, "Parity", {"E", "O", "N"});
    addGroup(RS[3], Length, "Length", {"7", "8"});
    addGroup(RS[4], Bit, "Bit", {"1", "1.5", "2"});
    addGroup(RS[5], Term, "Term", {"CR/LF", "CR"});
    bar->addMenu(mRS);

    mTimer = addMenu(bar, "mTimer", QStringLiteral("Wait(&W)"));
    addGroup(mTimer, Wait, "Wait",
             {"0.0", "0.1", "0.2", "0.3", "0.4", "0.5", "0.6", "0.7", "0.8", "0.9", "1.0"});
    bar->addMenu(mTimer);

    mOption = addMenu(bar, "mOption", QStringLiteral("Option(&O)"));
    mTime = addItem(mOption, "mTime", QStringLiteral("Time(&T)"));
    mDate = addItem(mOption, "mDate", QStringLiteral("Date(&D)"));
    mSeq = addItem(mOption, "mSeq", QStringLiteral("Seq. No.(&N)"));
    mHeader = addItem(mOption, "mHeader", QStringLiteral("Header(&H)"));
    mFooter = addItem(mOption, "mFooter", QStringLiteral("Footer(&F)"));
    for (QAction *option : {mTime, mDate, mSeq, mHeader, mFooter})
        option->setCheckable(true);
    bar->addMenu(mOption);
}

namespace {

// Check marks belong to the handlers: undo the toggle Qt makes on a checkable item before its
// handler runs, so the handler alone decides the mark.
template<typename Handler> void connectItem(QAction *action, Form1 *form, Handler handler)
{
    QObject::connect(action, &QAction::triggered, form, [action, form, handler] {
        if (form->hasEnded())
            return;
        if (action->isCheckable())
            action->setChecked(!action->isChecked());
        handler();
    });
}

template<std::size_t N>
void connectGroup(const std::array<QAction *, N> &items, Form1 *form, void (Form1::*click)(int))
{
    for (std::size_t i = 0; i < N; ++i)
        connectItem(items[i], form, [form, click, i] { (form->*click)(int(i)); });
}

} // namespace

void Form1::wireEvents()
{
    auto guarded = [this](void (Form1::*handler)()) {
        return [this, handler] {
            if (!m_ended)
                (this->*handler)();
        };
    };
    connect(Command1, &QPushButton::clicked, this, guarded(&Form1::Command1_Click));
    connect(Command2, &QPushButton::clicked, this, guarded(&Form1::Command2_Click));
    connect(Timer1, &QTimer::timeout, this, guarded(&Form1::Timer1_Timer));
    MSComm1->setOnCommHandler(this, guarded(&Form1::MSComm1_OnComm));
    connect(MSComm1, &MSComm::inputDrained, this, guarded(&Form1::scheduleReceivedFlush));
    connect(&m_receivedFlush, &QTimer::timeout, this, guarded(&Form1::flushReceivedLines));
    connect(RichTextBox1, &RichTextBox::Change, this, guarded(&Form1::RichTextBox1_Change));
    connect(RichTextBox2, &LinePane::Change, this, guarded(&Form1::RichTextBox2_Change));
    // Open and New would replace the text being sent: not while the send pane is locked.
    connect(RichTextBox1, &RichTextBox::lockedChanged, this, [this](bool locked) {
        mOpen->setEnabled(!locked);
        N_Send->setEnabled(!locked);
    });
    connect(RS[0], &QMenu::aboutToShow, this, guarded(&Form1::showPortDevices));

    const std::pair<QAction *, void (Form1::*)()> items[] = {
        {mOpen, &Form1::mOpen_Click},
        {N_Send, &Form1::N_Send_Click},
        {N_Received, &Form1::N_Received_Click},
        {S_Send, &Form1::S_Send_Click},
        {S_Received, &Form1::S_Received_Click},
        {P_Send, &Form1::P_Send_Click},
        {P_Received, &Form1::P_Received_Click},
        {mEnd, &Form1::mEnd_Click},
        {mTime, &Form1::mTime_Click},
        {mDate, &Form1::mDate_Click},
        {mSeq, &Form1::mSeq_Click},
        {mHeader, &Form1::mHeader_Click},
        {mFooter, &Form1::mFooter_Click},
    };
    for (const auto &[action, handler] : items)
        connectItem(action, this, [this, handler = handler] { (this->*handler)(); });

    connectGroup(Port, this, &Form1::Port_Click);
    connectGroup(BPS, this, &Form1::BPS_Click);
    connectGroup(Parity, this, &Form1::Parity_Click);
    connectGroup(Length, this, &Form1::Length_Click);
    connectGroup(Bit, this, &Form1::Bit_Click);
    connectGroup(Term, this, &Form1::Term_Click);
    connectGroup(Wait, this, &Form1::Wait_Click);
}

void Form1::closeEvent(QCloseEvent *event)
{
    if (m_ended) {
        event->accept();
        return;
    }
    // Closed again while leaving waits for the line in flight: the wait ends.
    if (m_leaving) {
        m_leaveNow = true;
        event->ignore();
        return;
    }
    std::int16_t Cancel = 0;
    Form_Unload(Cancel);
    // A window closed while the program ended inside the handler simply goes; otherwise the
    // handler's Cancel keeps it open.
    if (m_ended || Cancel == 0)
        event->accept();
    else
        event->ignore();
}

void Form1::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (!m_activatedOnce && !m_ended) {
        m_activatedOnce = true;
        Form_Activate();
        // Never inside the constructor or show(): once the window is up, from the event loop.
        QMetaObject::invokeMethod(this, &Form1::afterFirstShow, Qt::QueuedConnection);
    }
}

void Form1::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    if (m_ended)
        return;
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        Form_Activate();
    else if (event->type() == QEvent::WindowStateChange)
        Form_Resize();
}

bool Form1::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == centralWidget() && !m_ended) {
        if (event->type() == QEvent::Resize)
            Form_Resize();
        else if (event->type() == QEvent::Paint)
            paintBanner(centralWidget());
    }
    return QMainWindow::eventFilter(watched, event);
}

QMessageBox::StandardButton Form1::showMessage(QMessageBox::Icon icon, const QString &text,
                                               const QString &informativeText,
                                               QMessageBox::StandardButtons buttons,
                                               QMessageBox::StandardButton defaultButton)
{
    QMessageBox box(icon, QStringLiteral("Kavrel"), text, buttons, this);
    box.setInformativeText(informativeText);
    if (defaultButton != QMessageBox::NoButton)
        box.setDefaultButton(defaultButton);
    return QMessageBox::StandardButton(box.exec());
}

void Form1::endProgram()
{
    m_ended = true;
    Timer1->stop();
    // The exit path, whatever the answer to saving: nothing is left to offer at the next start.
    endRecovery();
    hide();
    QCoreApplication::exit(0);
}
