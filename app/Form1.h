#pragma once

#include "app/MainWindowControls.h"
#include "app/SettingsStore.h"
#include "capture/MainWindowLink.h"

#include <QCursor>
#include <QList>
#include <QPair>
#include <QWidget>

#include <functional>
#include <optional>

struct Services;

// The main window: the output format, the output folder and the hide-window option, each restored at set-up and
// stored the moment it changes, and the "Start Capturing" button.
class Form1 : public QWidget, public MainWindowLink {
    Q_OBJECT
public:
    explicit Form1(Services& services, QWidget* parent = nullptr);

    // Set-up: skin, caption, icon, application title, hand pointer, home page draw, then the stored options.
    void Form_Load();

    void Option1_Click();
    void Option2_Click();
    void Check1_Click();
    void Text1_Change();
    void PushButton1_Click();
    void PushButton4_Click();
    void Form_MouseMove();
    void Frame1_MouseMove();
    void Frame2_MouseMove();
    void Frame3_MouseMove();
    void PushButton1_MouseMove();
    void PushButton4_MouseMove();
    // Closing by any means: pending events run once, then the process ends at once.
    void Form_QueryUnload();

signals:
    // Once, when the window's first frame has been drawn and handed to the display: work that the first frame does
    // not need waits for this.
    void firstFrameShown();

public:
    // The window's pointer kind (0 default, 11 hourglass, 99 the hand) and whether the hand was loaded.
    int mousePointer() const { return m_mousePointer; }
    void setMousePointer(int kind);
    bool hasHandCursor() const { return m_hasHandCursor; }

    // How the process ends; tests replace it.
    void setProcessEnd(std::function<void()> end) { m_endProcess = std::move(end); }

    OutputFormat outputFormat() const override;
    QString folderText() const override;
    int hideFlag() const override;
    QString applicationTitle() const override { return m_appTitle; }
    void showMainWindow() override;
    void hideMainWindow() override;
    QWidget* widget() override { return this; }
    std::optional<quint64> lastStartPress() const override { return m_lastStartPress; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void connectControls();
    void storeOptions();
    void store(const QString& key, const QString& text);

    Services& m_services;
    // Made with the window, as its children; the handlers call them by the table's names.
    const MainWindowControls m_controls;
    SettingsStore m_store;
    QString m_appTitle;
    QCursor m_handCursor;
    bool m_hasHandCursor = false;
    int m_mousePointer = 0;
    bool m_placed = false;
    bool m_painted = false;
    bool m_restoring = false;
    QList<QPair<QString, QString>> m_heldWrites; // key, text
    std::function<void()> m_endProcess;
    std::optional<quint64> m_lastStartPress;
};
