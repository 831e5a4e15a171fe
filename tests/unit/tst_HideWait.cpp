#include "platform/screen/x11/HideWait.h"

#include <QTest>

#include <algorithm>
#include <utility>
#include <vector>

using namespace std::chrono_literals;
using Clock = HideProbe::Clock;

namespace {

// A hide told as a timeline in milliseconds since the unmap. The window shows at `Window` on a 1000x800 screen; a
// compositor fades it out through the `fade` levels (0: gone) at the place the window is at, which after a move is
// the part of it that is on the screen: in the top-left corner, where the window manager keeps at least a tenth of it
// each way, or nowhere when it lets it go anywhere. The window manager moves the window `movedAfter` ms after it is
// asked, and the compositor draws the move `drawnAfter` ms later; it may go on showing a still picture of the window at
// its old place until `ghostUntil`. Until the unmap the window fades in, a level every `fadeInStep` ms from the start
// of the hide (0: fully shown already).
struct Timeline {
    enum class Move { Refused, KeptInCorner, Anywhere };
    bool isComposited = true;
    Move move = Move::KeptInCorner;
    int unmappedAfter = 0;
    QList<QPair<int, int>> fade; // from this time on, this level
    int movedAfter = 2;
    int ghostUntil = 0;
    int fadeInStep = 0;
    int drawnAfter = 0;
};

const QRect Screen(0, 0, 1000, 800);
const QRect Window(400, 300, 200, 150);

class TimelineProbe final : public HideProbe {
public:
    explicit TimelineProbe(const Timeline& timeline)
        : m_timeline(timeline)
    {}

    // Milliseconds from the unmap to the return, and from the start to the return.
    int returnedAt() const { return static_cast<int>((m_now - m_unmappedAt) / 1ms); }
    int tookAll() const { return static_cast<int>((m_now - Start) / 1ms); }
    // Whether the screen shows anything of the window, where it was or where it went.
    bool showsWindow()
    {
        const QRect onScreen = drawnFrame() & Screen;
        return pixels(Window) != "w0" || (!onScreen.isEmpty() && onScreen != Window && pixels(onScreen) != "c0");
    }

    Clock::time_point now() const override { return m_now; }
    void sleep(Clock::duration duration) override { m_now += duration; }
    QRect screenArea() override { return Screen; }
    QRect frameGeometry() override { return frameAt(m_now); }
    bool isFrameMapped() override
    {
        return m_unmappedAt == Clock::time_point() || m_now < m_unmappedAt + m_timeline.unmappedAfter * 1ms;
    }
    QByteArray pixels(const QRect& area) override
    {
        const bool isCorner = !area.intersects(Window);
        const QRect drawn = drawnFrame();
        const bool hasMoved = drawn != Window;
        if (!isCorner && hasMoved && m_unmappedAt != Clock::time_point() &&
            m_now < m_unmappedAt + m_timeline.ghostUntil * 1ms) {
            return "wg";
        }
        const bool showsWindow = isCorner ? drawn.intersects(area) : !hasMoved;
        const int level = showsWindow ? fadeLevel() : 0;
        return QByteArray(1, isCorner ? 'c' : 'w') + QByteArray::number(level);
    }
    void moveFrame(const QPoint& position) override
    {
        if (m_timeline.move == Timeline::Move::Refused) {
            return;
        }
        QRect frame(position, Window.size());
        if (m_timeline.move == Timeline::Move::KeptInCorner) {
            frame.moveTo(std::max(position.x(), -Window.width() * 9 / 10),
                         std::max(position.y(), -Window.height() * 9 / 10));
        }
        m_moves.emplace_back(m_now + m_timeline.movedAfter * 1ms, frame);
    }
    void unmap() override { m_unmappedAt = m_now; }

private:
    // Where the X server had the frame at `time`.
    QRect frameAt(Clock::time_point time) const
    {
        QRect frame = Window;
        for (const auto& [at, moved] : m_moves) {
            if (at <= time) {
                frame = moved;
            }
        }
        return frame;
    }

    // Where the compositor draws the window: it moves it no more once the frame is unmapped, and fades it out there.
    QRect drawnFrame() const
    {
        const Clock::time_point frameUnmapped = m_unmappedAt + m_timeline.unmappedAfter * 1ms;
        const bool isUnmapped = m_unmappedAt != Clock::time_point() && m_now >= frameUnmapped;
        return frameAt((isUnmapped ? frameUnmapped : m_now) - m_timeline.drawnAfter * 1ms);
    }

    int fadeLevel() const
    {
        if (m_unmappedAt == Clock::time_point()) {
            const int shown = static_cast<int>((m_now - Start) / 1ms);
            return m_timeline.fadeInStep > 0 ? std::min(10, 1 + shown / m_timeline.fadeInStep) : 10;
        }
        if (!m_timeline.isComposited) {
            return m_now < m_unmappedAt + m_timeline.unmappedAfter * 1ms ? 10 : 0;
        }
        int level = 10;
        for (const auto& [from, value] : m_timeline.fade) {
            if (m_now >= m_unmappedAt + from * 1ms) {
                level = value;
            }
        }
        return level;
    }

    Timeline m_timeline;
    static constexpr Clock::time_point Start = Clock::time_point() + 1h;
    Clock::time_point m_now = Start;
    std::vector<std::pair<Clock::time_point, QRect>> m_moves; // from when on the server has the frame where
    Clock::time_point m_unmappedAt;
};

} // namespace

Q_DECLARE_METATYPE(Timeline)

class TestHideWait : public QObject {
    Q_OBJECT
private slots:
    void returnsOnceTheScreenNoLongerShowsTheWindow_data();
    void returnsOnceTheScreenNoLongerShowsTheWindow();
};

void TestHideWait::returnsOnceTheScreenNoLongerShowsTheWindow_data()
{
    QTest::addColumn<Timeline>("timeline");
    QTest::addColumn<int>("goneAt"); // ms after the unmap, the wait may take at most 100 ms longer; -1: never
    using Move = Timeline::Move;
    QTest::newRow("no compositor: the frame's unmap is waited for") << Timeline{false, Move::Refused, 30, {}} << 30;
    QTest::newRow("moved into a corner: a fade that stalls for five frames")
        << Timeline{true, Move::KeptInCorner, 3, {{0, 9}, {10, 8}, {20, 7}, {100, 6}, {110, 3}, {300, 0}}} << 300;
    QTest::newRow("moved into a corner: the window manager unmaps late")
        << Timeline{true, Move::KeptInCorner, 250, {{250, 5}, {260, 0}}} << 260;
    QTest::newRow("moved into a corner late, after the move's wait: the corner is still watched")
        << Timeline{true, Move::KeptInCorner, 60, {{0, 9}, {150, 6}, {300, 0}}, 150} << 300;
    QTest::newRow("moved into a corner: a still picture of the window left at its old place")
        << Timeline{true, Move::KeptInCorner, 3, {{0, 9}, {20, 0}}, 2, 250} << 250;
    QTest::newRow("moved off the screen: its fade there is not waited for")
        << Timeline{true, Move::Anywhere, 2, {{0, 9}, {500, 0}}} << 0;
    // The old place changes with the fade-in while the move is not drawn yet, and stands still for two frames at a
    // time: only the corner tells that the move is drawn.
    QTest::newRow("moved off the screen while still fading in, the move drawn late")
        << Timeline{true, Move::Anywhere, 2, {{0, 9}, {500, 0}}, 2, 0, 40, 100} << 0;
    QTest::newRow("kept in place: a fade that stalls for two frames")
        << Timeline{true, Move::Refused, 3, {{0, 9}, {10, 7}, {20, 5}, {55, 3}, {70, 0}}} << 70;
    QList<QPair<int, int>> endless;
    for (int t = 0; t < 2000; t += 10) {
        endless.append({t, 1 + t / 10});
    }
    QTest::newRow("kept in place: a screen that never settles, up to the deadline")
        << Timeline{true, Move::Refused, 3, endless} << -1;
}

void TestHideWait::returnsOnceTheScreenNoLongerShowsTheWindow()
{
    QFETCH(Timeline, timeline);
    QFETCH(int, goneAt);
    TimelineProbe probe(timeline);
    hideAndWait(probe, timeline.isComposited, probe.now() + 1000ms);
    if (goneAt < 0) {
        QVERIFY2(probe.tookAll() >= 1000 && probe.tookAll() <= 1100, qPrintable(QString::number(probe.tookAll())));
        return;
    }
    QVERIFY2(probe.returnedAt() >= goneAt, qPrintable(QString::number(probe.returnedAt())));
    QVERIFY2(probe.returnedAt() <= goneAt + 100, qPrintable(QString::number(probe.returnedAt())));
    QVERIFY(!probe.showsWindow());
}

QTEST_APPLESS_MAIN(TestHideWait)
#include "tst_HideWait.moc"
