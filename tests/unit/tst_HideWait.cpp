#include "platform/screen/x11/HideWait.h"

#include <QTest>

#include <optional>

using namespace std::chrono_literals;
using Clock = HideProbe::Clock;

namespace {

// A hide told as a timeline in milliseconds since the unmap. The window shows at `Window` on a 1000x800 screen; a
// compositor fades it out through the `fade` levels (0: gone) at the place the window is at, which after a move is
// the strip of it that the window manager keeps in the top-left corner, or nowhere when it lets it go off the screen.
// The window manager moves the window `movedAfter` ms after it is asked; a compositor may go on showing a still
// picture of the window at its old place until `ghostUntil`.
struct Timeline {
    enum class Move { Refused, IntoCorner, OffTheScreen };
    bool isComposited = true;
    Move move = Move::IntoCorner;
    int unmappedAfter = 0;
    QList<QPair<int, int>> fade; // from this time on, this level
    int movedAfter = 2;
    int ghostUntil = 0;
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

    Clock::time_point now() const override { return m_now; }
    void sleep(Clock::duration duration) override { m_now += duration; }
    QRect screenArea() override { return Screen; }
    QRect frameGeometry() override
    {
        if (!m_movedAt || m_now < *m_movedAt + m_timeline.movedAfter * 1ms) {
            return Window;
        }
        return m_timeline.move == Timeline::Move::IntoCorner ? QRect(-380, -290, 400, 300)
                                                             : QRect(-800, -800, 400, 300);
    }
    bool isFrameMapped() override
    {
        return m_unmappedAt == Clock::time_point() || m_now < m_unmappedAt + m_timeline.unmappedAfter * 1ms;
    }
    QByteArray pixels(const QRect& area) override
    {
        const bool isCorner = !area.intersects(Window);
        const bool hasMoved = frameGeometry() != Window;
        if (!isCorner && hasMoved && m_unmappedAt != Clock::time_point() &&
            m_now < m_unmappedAt + m_timeline.ghostUntil * 1ms) {
            return "wg";
        }
        const bool showsWindow = isCorner ? hasMoved && m_timeline.move == Timeline::Move::IntoCorner : !hasMoved;
        const int level = showsWindow ? fadeLevel() : 0;
        return QByteArray(1, isCorner ? 'c' : 'w') + QByteArray::number(level);
    }
    void moveFrame(const QPoint&) override
    {
        if (m_timeline.move != Timeline::Move::Refused) {
            m_movedAt = m_now;
        }
    }
    void unmap() override { m_unmappedAt = m_now; }

private:
    int fadeLevel() const
    {
        if (m_unmappedAt == Clock::time_point()) {
            return 10;
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
    std::optional<Clock::time_point> m_movedAt;
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
        << Timeline{true, Move::IntoCorner, 3, {{0, 9}, {10, 8}, {20, 7}, {100, 6}, {110, 3}, {300, 0}}} << 300;
    QTest::newRow("moved into a corner: the window manager unmaps late")
        << Timeline{true, Move::IntoCorner, 250, {{250, 5}, {260, 0}}} << 260;
    QTest::newRow("moved into a corner late, after the move's wait: the corner is still watched")
        << Timeline{true, Move::IntoCorner, 60, {{0, 9}, {150, 6}, {300, 0}}, 150} << 300;
    QTest::newRow("moved into a corner: a still picture of the window left at its old place")
        << Timeline{true, Move::IntoCorner, 3, {{0, 9}, {20, 0}}, 2, 250} << 250;
    QTest::newRow("moved off the screen: its fade there is not waited for")
        << Timeline{true, Move::OffTheScreen, 2, {{0, 9}, {500, 0}}} << 0;
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
}

QTEST_APPLESS_MAIN(TestHideWait)
#include "tst_HideWait.moc"
