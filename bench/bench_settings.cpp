// Times what the settings file costs each event handler that reads it: start-up (the main
// window's load), the port dialog's load and shut-down's store of the position, with a small
// settings file and with a 1 MiB one of 115,898 short keys, the most the size limit allows.
//
//   bench_settings [RUNS]
//
// Run on the offscreen platform. Com1 is mapped to a device that does not exist, so that no
// port is opened: every run goes the same way, and only the settings differ. Prints one line
// per file: the median milliseconds of each handler, and the file's size.

#include "windows/frmcomm.h"
#include "windows/frmmain.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

double median(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    return n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
}

QByteArray settingsText(int fillerKeys)
{
    QByteArray text = "[Properties]\nTop=300\nLeft=300\n[Ports]\nCom1=/nonexistent/ttyX\n";
    if (fillerKeys > 0)
        text += "[Filler]\n";
    for (int key = 0; key < fillerKeys; ++key)
        text += QByteArray::number(key, 16).rightJustified(5, '0').prepend('k') + "=1\n";
    return text;
}

} // namespace

int main(int argc, char *argv[])
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    QApplication app(argc, argv);
    QTemporaryDir config;
    if (!config.isValid())
        return 1;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    QDir(config.path()).mkpath(QStringLiteral("Twinline"));
    const QString path = config.filePath(QStringLiteral("Twinline/Twinline.conf"));

    for (const int filler : {0, 115898}) {
        std::vector<double> load, dialog, store;
        for (int run = 0; run < runs; ++run) {
            QFile file(path);
            if (!file.open(QIODevice::WriteOnly) || file.write(settingsText(filler)) < 0)
                return 1;
            file.close();
            QElapsedTimer timer;
            timer.start();
            frmMain window(PortNumbering(config.filePath(QStringLiteral("no-adapters"))));
            load.push_back(double(timer.nsecsElapsed()) / 1e6);
            timer.restart();
            delete new frmComm(&window);
            dialog.push_back(double(timer.nsecsElapsed()) / 1e6);
            window.move(window.pos() + QPoint(1, 1)); // so that shut-down writes the file
            timer.restart();
            window.storePosition();
            store.push_back(double(timer.nsecsElapsed()) / 1e6);
        }
        std::printf("%6d keys, %7lld bytes: start-up %.1f ms, port dialog %.1f ms, "
                    "shut-down %.1f ms\n",
                    filler + 3, qlonglong(QFileInfo(path).size()), median(load), median(dialog),
                    median(store));
    }
    return 0;
}
