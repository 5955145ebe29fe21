#pragma once
#include <QWidget>
#include <functional>

class ConnectionManager;
class LogList;
class QListView;

// The console: the log of every connection, newest line first. F6 opens the
// administration window, Delete empties the log.
class frmMailServer : public QWidget {
    Q_OBJECT
public:
    explicit frmMailServer(QWidget* parent = nullptr);
    ~frmMailServer() override;

    // Sets the caption and opens both listeners. Throws Failure.
    void Form_Load();
    // Key codes as the operator's keyboard reports them: 117 F6, 46 Delete.
    void Form_KeyUp(int KeyCode, int Shift);

    LogList& Log() { return *log_; }
    ConnectionManager& Connections() { return *manager_; }
    QListView* List1() const { return list1_; }

    // Brings up the administration window (F6); the executable provides it.
    std::function<void()> ShowAdmin;

protected:
    void resizeEvent(QResizeEvent* e) override;
    void keyReleaseEvent(QKeyEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void hideEvent(QHideEvent* e) override;
    void changeEvent(QEvent* e) override;

private:
    void Form_Resize();
    // The list follows the log only while someone can see it: laying out and drawing a
    // list nobody looks at cost the server a twelfth of its time under load.
    void Follow();
    LogList* log_;
    ConnectionManager* manager_;
    QListView* list1_;
};
