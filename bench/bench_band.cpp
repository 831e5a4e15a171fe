// CPU cost of one rubber-band mouse-move on the capture overlay, the handler and the repaint it causes included,
// on the running X display (bench/run.sh gives it a 3840x2160 Xvfb). For comparison, the cost of repainting the
// whole overlay once, which is what a move would cost if it invalidated the screen.
//
// Usage: bench_band [moves]. With QUOSH_XVFB_PID set, the X server's CPU time per move is shown as well.
#include "capture/Form2.h"
#include "platform/startup/RealServices.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QMouseEvent>
#include <QPointer>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include <time.h>
#include <unistd.h>

namespace {

double processCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

double wallMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// User plus system time of another process in milliseconds, from /proc; negative when unknown.
double otherProcessCpuMs(const QByteArray& pid)
{
    if (pid.isEmpty())
        return -1;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(QString::fromLatin1(pid)));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = stat.readAll();
    // Fields after the command name, which is in parentheses and may hold blanks.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    const double ticks = fields[11].toDouble() + fields[12].toDouble();
    return ticks * 1e3 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct Summary {
    double mean = 0;
    double median = 0;
    double p99 = 0;
    double max = 0;
};

Summary summarise(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    Summary s;
    for (double v : values)
        s.mean += v;
    s.mean /= static_cast<double>(values.size());
    s.median = values[values.size() / 2];
    s.p99 = values[std::min(values.size() - 1, values.size() * 99 / 100)];
    s.max = values.back();
    return s;
}

void sendMouse(QWidget& widget, QEvent::Type type, QPointF at, Qt::MouseButton button, Qt::MouseButtons held)
{
    QMouseEvent event(type, at, widget.mapToGlobal(at), button, held, Qt::NoModifier);
    QCoreApplication::sendEvent(&widget, &event);
}

} // namespace

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    const int moves = argc > 1 ? std::max(10, std::atoi(argv[1])) : 2000;

    RealServices real(QString{});
    Services& services = real.services();

    QPointer<Form2> form = new Form2(services, nullptr);
    form->Show();
    QElapsedTimer waited;
    waited.start();
    while (!(form->windowHandle() && form->windowHandle()->isExposed()) && waited.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    const QSize size = form->size();
    std::printf("overlay %dx%d logical, device pixel ratio %.2f, picture %dx%d\n", size.width(), size.height(),
                form->devicePixelRatioF(), form->pictureSize().width(),
                form->pictureSize().height());

    // The band grows from near the top-left corner to near the bottom-right one and shrinks back, so that moves
    // of every size are timed.
    const QPointF anchor(20, 20);
    sendMouse(*form, QEvent::MouseButtonPress, anchor, Qt::LeftButton, Qt::LeftButton);
    QCoreApplication::processEvents();
    const QByteArray xvfbPid = qgetenv("QUOSH_XVFB_PID");
    std::vector<double> cpu;
    std::vector<double> wall;
    const double serverBefore = otherProcessCpuMs(xvfbPid);
    for (int i = 0; i < moves; ++i) {
        const double t = static_cast<double>(i % 1000) / 999.0;
        const double f = i % 2000 < 1000 ? t : 1.0 - t;
        const QPointF at(anchor.x() + f * (size.width() - 60), anchor.y() + f * (size.height() - 60));
        const double cpu0 = processCpuMs();
        const double wall0 = wallMs();
        sendMouse(*form, QEvent::MouseMove, at, Qt::NoButton, Qt::LeftButton);
        // Whatever the handler's own yield left over belongs to this move too.
        QCoreApplication::processEvents();
        cpu.push_back(processCpuMs() - cpu0);
        wall.push_back(wallMs() - wall0);
    }
    const double serverAfter = otherProcessCpuMs(xvfbPid);

    std::vector<double> fullCpu;
    for (int i = 0; i < 30; ++i) {
        const double cpu0 = processCpuMs();
        form->repaint();
        QCoreApplication::processEvents();
        fullCpu.push_back(processCpuMs() - cpu0);
    }

    const Summary c = summarise(cpu);
    const Summary w = summarise(wall);
    const Summary full = summarise(fullCpu);
    std::printf("one band move, program CPU (ms): mean %.3f  median %.3f  p99 %.3f  max %.3f  (%d moves)\n", c.mean,
                c.median, c.p99, c.max, moves);
    std::printf("one band move, wall (ms):        mean %.3f  median %.3f  p99 %.3f  max %.3f\n", w.mean, w.median,
                w.p99, w.max);
    if (serverBefore >= 0 && serverAfter >= 0)
        std::printf("one band move, X server CPU (ms): mean %.3f\n", (serverAfter - serverBefore) / moves);
    std::printf("whole overlay repainted, program CPU (ms): median %.3f  max %.3f\n", full.median, full.max);

    sendMouse(*form, QEvent::MouseButtonRelease, anchor, Qt::RightButton, Qt::LeftButton);
    form->Unload();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return form ? 1 : 0;
}
