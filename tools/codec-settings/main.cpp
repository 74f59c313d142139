// vireo-codec-settings: the settings dialog of one export video codec, started by the server for
// each dialog request (codecsettings/DialogProtocol.h describes its command line and answers).
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <xcb/xcb.h>

#include <QApplication>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "SettingsDialog.h"
#include "basekit/utility/Parse.h"
#include "codecsettings/DialogProtocol.h"
#include "export/CodecSettings.h"
#include "export/ExportErrors.h"

namespace {

namespace ex = vireo::server::exporting;
namespace protocol = vireo::server::codecsettings::protocol;
using vireo::server::codecsettings::dialog::SettingsDialog;

struct Arguments {
    std::uint32_t codec = 0;
    std::string codecText;
    std::int64_t parentPid = 0;
    std::string name;
    std::string screenshot;
};

int Usage(char const* why) {
    std::fprintf(stderr,
                 "vireo-codec-settings: %s\n"
                 "usage: vireo-codec-settings --codec FOURCC [--name TEXT] [--parent-pid PID]\n"
                 "                            [--screenshot FILE.png] < starting-settings\n",
                 why);
    return 2;
}

bool ParseArguments(int argc, char** argv, Arguments& args, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        std::string const option = argv[i];
        if (i + 1 >= argc) {
            error = "missing value of " + option;
            return false;
        }
        std::string const value = argv[++i];
        if (option == "--codec") {
            if (value.size() != 4) {
                error = "a codec is four characters";
                return false;
            }
            args.codecText = value;
            args.codec = (std::uint32_t(std::uint8_t(value[0])) << 24) |
                         (std::uint32_t(std::uint8_t(value[1])) << 16) |
                         (std::uint32_t(std::uint8_t(value[2])) << 8) |
                         std::uint32_t(std::uint8_t(value[3]));
        } else if (option == "--parent-pid") {
            if (!basekit::utility::ParseInteger(value, args.parentPid) || args.parentPid <= 0) {
                error = "not a process id: " + value;
                return false;
            }
        } else if (option == "--name") {
            args.name = value;
        } else if (option == "--screenshot") {
            args.screenshot = value;
        } else {
            error = "unknown option " + option;
            return false;
        }
    }
    if (args.codecText.empty()) {
        error = "no --codec";
        return false;
    }
    return true;
}

// Writes all of `text` to standard output, the server's end of the answer.
void Emit(std::string const& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t const n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;  // the server is gone; nobody reads the answer
        }
        done += std::size_t(n);
    }
}

// The starting data: standard input to its end, at most one byte more than can be read.
std::vector<std::uint8_t> ReadInput() {
    std::vector<std::uint8_t> data;
    if (::isatty(STDIN_FILENO)) {
        return data;
    }
    std::uint8_t buffer[4096];
    for (;;) {
        ssize_t const n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        data.insert(data.end(), buffer, buffer + n);
        if (data.size() > protocol::kMaxInputBytes) {
            break;
        }
    }
    return data;
}

// Raises the dialog and gives it the keyboard. Qt asks for the focus with the time of the last
// event it saw, which the X server ignores once another window took the focus later; the raise
// comes from the server on the user's behalf, so on X11 the focus is set as of now.
void BringToFront(QWidget& window) {
    window.setWindowState((window.windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window.show();
    window.raise();
    window.activateWindow();
    if (auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>()) {
        xcb_connection_t* connection = x11->connection();
        xcb_set_input_focus(connection, XCB_INPUT_FOCUS_PARENT, xcb_window_t(window.winId()),
                            XCB_CURRENT_TIME);
        xcb_flush(connection);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // The raise signal is taken through a signalfd: blocked here, before any thread exists, so
    // that every thread Qt starts keeps it blocked and an early one waits instead of ending us.
    sigset_t raiseSignal;
    sigemptyset(&raiseSignal);
    sigaddset(&raiseSignal, protocol::kRaiseSignal);
    pthread_sigmask(SIG_BLOCK, &raiseSignal, nullptr);

    Arguments args;
    std::string error;
    if (!ParseArguments(argc, argv, args, error)) {
        return Usage(error.c_str());
    }
    if (args.parentPid != 0) {
        // No orphan windows: the dialog dies with the server that asked for it.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != pid_t(args.parentPid)) {
            return 1;
        }
    }

    std::vector<std::uint8_t> const input = ReadInput();
    if (ex::CodecOptions(args.codec).empty()) {
        std::fprintf(stderr, "vireo-codec-settings: codec '%s' has no settings\n",
                     args.codecText.c_str());
        Emit(std::string(protocol::kCancelled) + "\n");
        return 0;
    }

    ex::CodecSettings start = ex::DefaultCodecSettings(args.codec);
    std::string notice;
    if (!input.empty()) {
        ex::CodecSettings read;
        std::string why;
        if (ex::ReadCodecSettings(input.data(), input.size(), args.codec, read, why) ==
            ex::kExportOK) {
            start = read;
        } else {
            std::fprintf(stderr, "vireo-codec-settings: starting settings unreadable: %s\n",
                         why.c_str());
            notice = "The settings passed in could not be read; the defaults are shown.";
        }
    }

    // Qt sees none of our options (its X11 plugin would take --name as a resource name).
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    std::string const name = args.name.empty() ? args.codecText : args.name;
    SettingsDialog dialog(name, start, notice);

    int const raiseFd = ::signalfd(-1, &raiseSignal, SFD_CLOEXEC | SFD_NONBLOCK);
    std::unique_ptr<QSocketNotifier> raiseNotifier;
    if (raiseFd >= 0) {
        raiseNotifier = std::make_unique<QSocketNotifier>(raiseFd, QSocketNotifier::Read);
        QObject::connect(raiseNotifier.get(), &QSocketNotifier::activated, &dialog,
                         [&dialog, raiseFd] {
                             signalfd_siginfo info;
                             while (::read(raiseFd, &info, sizeof info) == ssize_t(sizeof info)) {
                             }
                             BringToFront(dialog);
                             Emit(std::string(protocol::kRaised) + "\n");
                         });
    } else {
        std::fprintf(stderr, "vireo-codec-settings: no signalfd; the window cannot be raised\n");
    }

    bool answered = false;
    QObject::connect(&dialog, &QDialog::finished, &app, [&](int result) {
        if (answered) {
            return;
        }
        answered = true;
        if (result == QDialog::Accepted) {
            std::vector<std::uint8_t> const data = ex::WriteCodecSettings(dialog.Settings());
            Emit(std::string(protocol::kAccepted) + " " + std::to_string(data.size()) + "\n" +
                 std::string(data.begin(), data.end()));
        } else {
            Emit(std::string(protocol::kCancelled) + "\n");
        }
        app.quit();
    });

    dialog.show();
    dialog.raise();
    dialog.activateWindow();
    QTimer::singleShot(0, &dialog, [&] {
        Emit(std::string(protocol::kReady) + "\n");
        if (!args.screenshot.empty()) {
            bool const saved = dialog.grab().save(QString::fromStdString(args.screenshot), "PNG");
            if (!saved) {
                std::fprintf(stderr, "vireo-codec-settings: cannot write %s\n",
                             args.screenshot.c_str());
            }
            dialog.reject();
        }
    });
    int const status = app.exec();
    raiseNotifier.reset();
    if (raiseFd >= 0) {
        ::close(raiseFd);
    }
    return status;
}
