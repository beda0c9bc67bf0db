// What opening the port does to the lines, and how soon an unplugged adapter shows.
//
//   bench_port [RUNS]
//
// Run it with libptymodem.so preloaded on the offscreen platform. Every run starts from a freshly
// "plugged-in" pseudo-terminal mapped to Com1, with settings and line state of its own. Times come
// from the stand-in's own timestamps, so they include its bookkeeping (a file write per line
// change). Prints key=value lines:
//   first_open_us   median time the lines were high during the first open after plug-in
//   reopen_us       longest time any line was high during a reopen by Set (0: no raise at all)
//   restart_us      the same for a new program opening the port it closed before
//   unplug_ms       median and max from closing the pty master to the red status box
// Built with Qt Serial Port, it prints the same three open figures for QSerialPort too, opened
// and lowered as a serial tool does it: open(), then RTS and DTR set low.

#include "sandbox.h"
#include "serial/mscomm.h"
#include "windows/colours.h"
#include "windows/frmmain.h"
#include "windows/textbox.h"

#include <QApplication>
#include <QElapsedTimer>
#ifdef TWINLINE_BENCH_QSERIALPORT
#include <QSerialPort>
#endif

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <vector>

namespace {

// Total time, in microseconds, that any line was high in the stand-in's log after byte `from`;
// a line still high counts until now.
double highTime(const QByteArray &log, qsizetype from)
{
    qint64 total = 0, since = -1;
    for (const QByteArray &line : log.mid(from).split('\n')) {
        const QList<QByteArray> fields = line.split(' '); // nanoseconds, RTS, DTR
        if (fields.size() != 3)
            continue;
        const bool high = fields[1] == "1" || fields[2] == "1";
        if (high && since < 0)
            since = fields[0].toLongLong();
        else if (!high && since >= 0)
            total += fields[0].toLongLong() - std::exchange(since, -1);
    }
    if (since >= 0) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        total += qint64(now.tv_sec) * 1000000000 + now.tv_nsec - since;
    }
    return double(total) / 1000.0;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Port
{
    std::function<void()> open;
    std::function<void()> close;
};

// first open after plug-in, reopen by Set, restart: the time lines were high in each.
void measureOpens(const char *name, const std::function<Port(const QString &)> &make, int runs)
{
    std::vector<double> first, reopen, restart;
    for (int run = 0; run < runs; ++run) {
        Sandbox sandbox;
        const FakePty &pty = sandbox.pty;
        Port port = make(pty.path());
        port.open();
        first.push_back(highTime(pty.log(), 0));
        qsizetype mark = pty.log().size();
        port.close();
        port.open();
        reopen.push_back(highTime(pty.log(), mark));
        port.close();
        Port again = make(pty.path());
        mark = pty.log().size();
        again.open();
        restart.push_back(highTime(pty.log(), mark));
        again.close();
    }
    std::printf("%s_first_open_us=%.1f\n%s_reopen_us=%.1f\n%s_restart_us=%.1f\n", name,
                median(first), name, *std::max_element(reopen.begin(), reopen.end()), name,
                *std::max_element(restart.begin(), restart.end()));
}

Port twinline(const QString &)
{
    // The port comes from the settings, which map Com1 to the current pty.
    auto comm = std::make_shared<MSComm>();
    return {[comm] {
                comm->setPortOpen(true);
                comm->setDTREnable(false);
                comm->setRTSEnable(false);
            },
            [comm] { comm->setPortOpen(false); }};
}

#ifdef TWINLINE_BENCH_QSERIALPORT
Port qserialport(const QString &device)
{
    auto port = std::make_shared<QSerialPort>(device);
    return {[port] {
                port->open(QIODevice::WriteOnly);
                port->setRequestToSend(false);
                port->setDataTerminalReady(false);
            },
            [port] { port->close(); }};
}
#endif

} // namespace

int main(int argc, char *argv[])
{
    // The Sandbox stops the run when libptymodem.so is not preloaded.
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    QApplication app(argc, argv);

    measureOpens("twinline", twinline, runs);
#ifdef TWINLINE_BENCH_QSERIALPORT
    measureOpens("qserialport", qserialport, runs);
#else
    std::printf("qserialport=not built (needs qt6-serialport-dev)\n");
#endif

    std::vector<double> unplug;
    for (int run = 0; run < runs; ++run) {
        Sandbox sandbox;
        frmMain window(sandbox.numbering());
        if (window.Text1()->backColor() != Colours::white) {
            std::fprintf(stderr, "bench_port: the port did not open: %s\n",
                         qPrintable(window.Text1()->toolTip()));
            return 1;
        }
        QElapsedTimer timer;
        timer.start();
        sandbox.pty.hangUp();
        while (window.Text1()->backColor() != Colours::pureRed && timer.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        unplug.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::printf("unplug_ms_median=%.2f\nunplug_ms_max=%.2f\n", median(unplug),
                *std::max_element(unplug.begin(), unplug.end()));
    return 0;
}
