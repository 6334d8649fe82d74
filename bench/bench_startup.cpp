// Time from process start to the launcher's window shown, offscreen, before
// any network: the real start-up (identity, data folder, lock, Controller,
// window) in a fresh process per run, against a bare Qt Widgets program that
// shows an empty main window, in the same run.
//
//     bench_startup [--runs n]
//
// The parent starts itself as a child for each run and times from the start
// until the child reports the window's show event on standard output. The
// child then ends at once; start-up's network job never gets to run.
#include "program/Startup.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// Reports the first show event of a top-level main window and ends the
// process.
class ShownReporter : public QObject
{
protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show && qobject_cast<QMainWindow*>(watched)) {
            std::fputs("shown\n", stdout);
            std::fflush(stdout);
            std::_Exit(0);
        }
        return false;
    }
};

int child(int argc, char** argv, bool bare)
{
    QApplication app(argc, argv);
    ShownReporter reporter;
    app.installEventFilter(&reporter);
    if (bare) {
        QMainWindow window;
        window.resize(1100, 760);
        window.show();
        return app.exec();
    }
    return tarvik::runClient(app);
}

// Milliseconds from the child's start to its report, or -1.
double timeOne(const QString& self, const QString& mode, const QString& dataHome)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);
    process.setProcessEnvironment(environment);
    QElapsedTimer timer;
    timer.start();
    process.start(self, {mode});
    while (process.waitForReadyRead(10000)) {
        if (process.readAll().contains("shown")) {
            const double ms = double(timer.nsecsElapsed()) / 1e6;
            process.waitForFinished(10000);
            return ms;
        }
    }
    process.kill();
    process.waitForFinished();
    return -1;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::string(argv[1]) == "--child-client")
        return child(argc, argv, false);
    if (argc == 2 && std::string(argv[1]) == "--child-bare")
        return child(argc, argv, true);

    int runs = 15;
    if (argc == 3 && std::string(argv[1]) == "--runs")
        runs = std::max(1, std::atoi(argv[2]));

    QCoreApplication app(argc, argv);
    const QString self = QCoreApplication::applicationFilePath();
    QTemporaryDir data;
    std::vector<double> client;
    std::vector<double> bare;
    for (int i = 0; i < runs; ++i) { // interleaved, so load disturbs both alike
        const double c = timeOne(self, QStringLiteral("--child-client"), data.path());
        const double b = timeOne(self, QStringLiteral("--child-bare"), data.path());
        if (c < 0 || b < 0) {
            std::fprintf(stderr, "a child did not show its window\n");
            return 1;
        }
        client.push_back(c);
        bare.push_back(b);
    }
    const double mc = median(client);
    const double mb = median(bare);
    std::printf("start-up to window shown, offscreen, median of %d runs:\n", runs);
    std::printf("  TarvikClient start-up   %7.1f ms (min %.1f, max %.1f)\n", mc,
                *std::min_element(client.begin(), client.end()),
                *std::max_element(client.begin(), client.end()));
    std::printf("  bare Qt main window     %7.1f ms (min %.1f, max %.1f)\n", mb,
                *std::min_element(bare.begin(), bare.end()),
                *std::max_element(bare.begin(), bare.end()));
    std::printf("  ratio                   %7.2fx\n", mc / mb);
    return 0;
}
