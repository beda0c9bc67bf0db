// Times one On/Off click of channel 1 on an open pseudo-terminal, through the button's own click
// path, and checks after every click that RTS, the flag and the lamp really followed.
//
//   bench_toggle [CLICKS]
//
// Run it with libptymodem.so preloaded (the pty needs RTS) on the offscreen platform. Prints
// key=value lines: clicks, median_us, p90_us, p99_us, min_us, max_us.

#include "app/module1.h"
#include "serial/mscomm.h"
#include "windows/colours.h"
#include "windows/frmmain.h"
#include "windows/lamp.h"
#include "windows/textbox.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

int fail(const QString &message)
{
    std::fprintf(stderr, "bench_toggle: %s\n", qPrintable(message));
    return 1;
}

// Nearest rank, on sorted samples.
double percentile(const std::vector<double> &sorted, double fraction)
{
    const auto rank = std::size_t(std::ceil(fraction * double(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

double median(const std::vector<double> &sorted)
{
    const std::size_t n = sorted.size();
    return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
}

} // namespace

int main(int argc, char *argv[])
{
    // The stand-in keeps line state in files; on tmpfs their rewrite costs little, and the
    // figure includes it, as a real driver's ioctl would cost its own time.
    QTemporaryDir modem(QFileInfo::exists(QStringLiteral("/dev/shm"))
                            ? QStringLiteral("/dev/shm/twinline-XXXXXX")
                            : QString());
    if (!modem.isValid())
        return fail(QStringLiteral("no temporary folder: ") + modem.errorString());
    qputenv("PTYMODEM_DIR", QFile::encodeName(modem.path()));
    if (!dlsym(RTLD_DEFAULT, "ptymodem_loaded"))
        return fail(QStringLiteral("libptymodem.so is not preloaded: a pty has no RTS without it"));

    const int clicks = argc > 1 ? std::atoi(argv[1]) : 10000;
    if (clicks < 1)
        return fail(QStringLiteral("the number of clicks must be 1 or more"));

    // The master stays open for the whole run, or the slave would see a hang-up.
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[64];
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0
        || ptsname_r(master, name, sizeof name) != 0)
        return fail(QStringLiteral("cannot create a pseudo-terminal"));
    const QString device = QString::fromLocal8Bit(name);
    // Where the stand-in keeps this pty's lines: "RTS=<0|1>\nDTR=<0|1>\n".
    QFile state(modem.filePath(QStringLiteral("pts") + device.section(QLatin1Char('/'), -1)));

    QApplication app(argc, argv);

    QTemporaryDir config;
    if (!config.isValid())
        return fail(QStringLiteral("no temporary folder: ") + config.errorString());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    QDir(config.path()).mkpath(QStringLiteral("Twinline"));
    QFile settings(config.filePath(QStringLiteral("Twinline/Twinline.conf")));
    if (!settings.open(QIODevice::WriteOnly)
        || settings.write(QStringLiteral("[Ports]\nCom1=%1\n").arg(device).toLocal8Bit()) < 0)
        return fail(QStringLiteral("cannot write the settings: ") + settings.errorString());
    settings.close();

    frmMain window(PortNumbering(config.filePath(QStringLiteral("no-adapters"))));
    MSComm *comm = window.MSComm1();
    if (!comm->portOpen() || comm->openDevice() != device)
        return fail(QStringLiteral("the port did not open on the pty: ")
                    + window.Text1()->toolTip());
    if (window.Text1()->backColor() == Colours::pureRed)
        return fail(QStringLiteral("the window is in its error state: ")
                    + window.Text1()->toolTip());
    auto *button = window.findChild<QAbstractButton *>(QStringLiteral("btnCH1"));
    if (!button)
        return fail(QStringLiteral("no btnCH1"));

    window.show();
    QCoreApplication::processEvents();

    std::vector<double> samples;
    samples.reserve(std::size_t(clicks));
    for (int i = 0; i < clicks; ++i) {
        const bool expected = !comm->rtsEnable();

        const auto start = std::chrono::steady_clock::now();
        button->click();
        const auto end = std::chrono::steady_clock::now();
        samples.push_back(std::chrono::duration<double, std::micro>(end - start).count());

        // The click must have reached the line itself, not only the program's idea of it.
        if (!state.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("no line state after a click: ") + state.errorString());
        const bool line = state.readAll().contains("RTS=1");
        state.close();
        const quint32 lamp = window.monCH1()->backColor();
        if (comm->rtsEnable() != expected || line != expected || Module1::flgCH1 != toWord(expected)
            || lamp != (expected ? Colours::lampOn : Colours::lampOff))
            return fail(
                QStringLiteral("click %1 did not toggle RTS, the flag and the lamp together")
                    .arg(i + 1));

        // Painting the lamp belongs to the event loop, not to the click: let it run untimed.
        QCoreApplication::processEvents();
    }
    if (!comm->portOpen())
        return fail(QStringLiteral("the port closed during the run"));

    std::sort(samples.begin(), samples.end());
    std::printf("clicks=%d\nmedian_us=%.2f\np90_us=%.2f\np99_us=%.2f\nmin_us=%.2f\nmax_us=%.2f\n",
                clicks, median(samples), percentile(samples, 0.90), percentile(samples, 0.99),
                samples.front(), samples.back());
    return 0;
}
