#include "ui/frmMailServer.h"
#include "core/ConnectionManager.h"
#include "core/LogList.h"
#include "ui/VirtualKey.h"
#include "core/mdlCommon.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QListView>

namespace {
LogList* TheLog = nullptr;
void ReportToLog(const QString& line)
{
    if (TheLog)
        TheLog->Add(line.toUtf8());
}
}

frmMailServer::frmMailServer(QWidget* parent)
    : QWidget(parent), log_(new LogList(this)), manager_(new ConnectionManager(*log_, this)), list1_(new QListView(this))
{
    setWindowTitle(QStringLiteral("Tandrivel"));
    list1_->setUniformItemSizes(true);   // rows of one height: long logs scroll without measuring every line
    list1_->setTextElideMode(Qt::ElideRight);
    list1_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list1_->setSelectionMode(QAbstractItemView::SingleSelection);
    list1_->installEventFilter(this);
    // Designed client area 5130 x 3165 twips, 15 twips to a pixel.
    resize(342, 211);
    TheLog = log_;
    mdlCommon::SetReporter(ReportToLog);
}

frmMailServer::~frmMailServer()
{
    if (TheLog == log_) {
        TheLog = nullptr;
        mdlCommon::SetReporter(nullptr);
    }
}

void frmMailServer::Form_Load()
{
    setWindowTitle(windowTitle() + QStringLiteral(" - @") + mdlCommon::ServerDomain);
    manager_->Listen();
}

void frmMailServer::Form_KeyUp(int KeyCode, int)
{
    if (KeyCode == VK_F6) {
        if (ShowAdmin)
            ShowAdmin();
    } else if (KeyCode == VK_DELETE) {
        log_->Clear();
    }
}

void frmMailServer::Form_Resize()
{
    list1_->setGeometry(0, 0, width(), height());
}

void frmMailServer::resizeEvent(QResizeEvent*)
{
    Form_Resize();
}

void frmMailServer::keyReleaseEvent(QKeyEvent* e)
{
    if (!e->isAutoRepeat())
        Form_KeyUp(VirtualKeyCode(e->key()), int(e->modifiers()));
}

bool frmMailServer::eventFilter(QObject* watched, QEvent* e)
{
    // The window sees key releases before the list does.
    if (watched == list1_ && e->type() == QEvent::KeyRelease) {
        auto* k = static_cast<QKeyEvent*>(e);
        const int code = VirtualKeyCode(k->key());
        if (!k->isAutoRepeat())
            Form_KeyUp(code, int(k->modifiers()));
        return code == VK_F6 || code == VK_DELETE;
    }
    return QWidget::eventFilter(watched, e);
}

void frmMailServer::Follow()
{
    // A window drawn for no screen (a server run without a display) is seen by nobody.
    static const bool displays = QGuiApplication::platformName() != QLatin1String("offscreen")
                                 && QGuiApplication::platformName() != QLatin1String("minimal");
    QAbstractItemModel* const wanted = displays && isVisible() && !isMinimized() ? log_ : nullptr;
    if (list1_->model() != wanted)
        list1_->setModel(wanted);   // a model given anew is read whole: the view is filled at once
}

void frmMailServer::showEvent(QShowEvent* e)
{
    QWidget::showEvent(e);
    Follow();
}

void frmMailServer::hideEvent(QHideEvent* e)
{
    QWidget::hideEvent(e);
    Follow();
}

void frmMailServer::changeEvent(QEvent* e)
{
    QWidget::changeEvent(e);
    if (e->type() == QEvent::WindowStateChange)
        Follow();
}
