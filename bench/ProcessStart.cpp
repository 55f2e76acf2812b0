#include "ProcessStart.h"

#include <QByteArray>
#include <QFile>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string_view>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

namespace {

using Clock = std::chrono::steady_clock;

// How long a picture must stay the same to count as the one the window keeps.
constexpr double kSettledMs = 750;
constexpr double kGiveUpMs = 120000;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void Pause(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// Standard output and error of a started process go nowhere: only its window counts.
struct QuietActions {
    posix_spawn_file_actions_t actions;
    QuietActions() {
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    ~QuietActions() { posix_spawn_file_actions_destroy(&actions); }
    QuietActions(const QuietActions&) = delete;
    QuietActions& operator=(const QuietActions&) = delete;
};

// The mapped top-level window of `size`, or none (0).
xcb_window_t FindWindow(xcb_connection_t* x, xcb_window_t root, QSize size) {
    xcb_query_tree_reply_t* tree = xcb_query_tree_reply(x, xcb_query_tree(x, root), nullptr);
    if (!tree)
        return 0;
    const xcb_window_t* children = xcb_query_tree_children(tree);
    const int count = xcb_query_tree_children_length(tree);
    std::vector<xcb_get_window_attributes_cookie_t> attributes(count);
    std::vector<xcb_get_geometry_cookie_t> geometries(count);
    for (int i = 0; i < count; ++i) {
        attributes[i] = xcb_get_window_attributes(x, children[i]);
        geometries[i] = xcb_get_geometry(x, children[i]);
    }
    xcb_window_t found = 0;
    for (int i = 0; i < count; ++i) {
        xcb_get_window_attributes_reply_t* a =
            xcb_get_window_attributes_reply(x, attributes[i], nullptr);
        xcb_get_geometry_reply_t* g = xcb_get_geometry_reply(x, geometries[i], nullptr);
        if (!found && a && g && a->map_state == XCB_MAP_STATE_VIEWABLE &&
            g->width == size.width() && g->height == size.height())
            found = children[i];
        std::free(a);
        std::free(g);
    }
    std::free(tree);
    return found;
}

// A fingerprint of what the window shows; 0 when it cannot be read.
std::size_t Picture(xcb_connection_t* x, xcb_window_t window, QSize size) {
    xcb_get_image_reply_t* image = xcb_get_image_reply(
        x,
        xcb_get_image(x, XCB_IMAGE_FORMAT_Z_PIXMAP, window, 0, 0, size.width(), size.height(), ~0u),
        nullptr);
    if (!image)
        return 0;
    const std::string_view bytes(reinterpret_cast<const char*>(xcb_get_image_data(image)),
                                 xcb_get_image_data_length(image));
    const std::size_t hash = std::hash<std::string_view>{}(bytes);
    std::free(image);
    return hash;
}

bool Failed(QString* error, const QString& text) {
    if (error)
        *error = text;
    return false;
}

} // namespace

PrivateDisplay::PrivateDisplay() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        error_ = QString::fromLocal8Bit(std::strerror(errno));
        return;
    }
    // Xvfb picks a free display and writes its number to descriptor 3 once it is ready.
    QuietActions quiet;
    posix_spawn_file_actions_adddup2(&quiet.actions, fds[1], 3);
    const char* argv[] = {"Xvfb",         "-displayfd", "3",   "-screen",  "0",
                          "1280x1024x24", "-nolisten",  "tcp", "-noreset", nullptr};
    const int rc = posix_spawnp(&pid_, "Xvfb", &quiet.actions, nullptr,
                                const_cast<char* const*>(argv), environ);
    ::close(fds[1]);
    if (rc != 0) {
        pid_ = -1;
        error_ = QStringLiteral("cannot start Xvfb: %1").arg(QString::fromLocal8Bit(strerror(rc)));
        ::close(fds[0]);
        return;
    }
    QByteArray number;
    char ch;
    while (::read(fds[0], &ch, 1) == 1 && ch != '\n')
        number += ch;
    ::close(fds[0]);
    if (number.isEmpty()) {
        error_ = QStringLiteral("Xvfb did not start");
        return;
    }
    name_ = QLatin1Char(':') + QString::fromLatin1(number);
}

PrivateDisplay::~PrivateDisplay() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
}

bool TimeStart(const QString& program, const QString& dir, const QString& display, QSize size,
               StartTiming* timing, QString* error) {
    xcb_connection_t* x = xcb_connect(display.toLocal8Bit().constData(), nullptr);
    if (xcb_connection_has_error(x)) {
        xcb_disconnect(x);
        return Failed(error, QStringLiteral("cannot reach the X server %1").arg(display));
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;

    std::vector<QByteArray> environment;
    for (char** entry = environ; *entry; ++entry) {
        const QByteArray variable(*entry);
        if (!variable.startsWith("DISPLAY=") && !variable.startsWith("QT_QPA_PLATFORM="))
            environment.push_back(variable);
    }
    environment.push_back("DISPLAY=" + display.toLocal8Bit());
    environment.push_back("QT_QPA_PLATFORM=xcb");
    std::vector<char*> envp;
    envp.reserve(environment.size() + 1);
    for (QByteArray& variable : environment)
        envp.push_back(variable.data());
    envp.push_back(nullptr);

    QuietActions quiet;
    const QByteArray directory = QFile::encodeName(dir);
    posix_spawn_file_actions_addchdir_np(&quiet.actions, directory.constData());
    QByteArray path = QFile::encodeName(program);
    char* argv[] = {path.data(), nullptr};
    pid_t pid = -1;
    const Clock::time_point start = Clock::now();
    const int rc = posix_spawn(&pid, path.constData(), &quiet.actions, nullptr, argv, envp.data());
    if (rc != 0) {
        xcb_disconnect(x);
        return Failed(error, QStringLiteral("cannot start %1: %2")
                                 .arg(program, QString::fromLocal8Bit(strerror(rc))));
    }

    const auto finish = [&](bool ok, const QString& text) {
        ::kill(pid, SIGTERM);
        int status = 0;
        rusage usage{};
        ::wait4(pid, &status, 0, &usage);
        xcb_disconnect(x);
        timing->peakMb = usage.ru_maxrss / 1024;
        return ok || Failed(error, text);
    };

    xcb_window_t window = 0;
    while (!(window = FindWindow(x, root, size))) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid)
            return finish(false, QStringLiteral("%1 ended before showing its window").arg(program));
        if (MsSince(start) > kGiveUpMs)
            return finish(false, QStringLiteral("no window of %1 appeared").arg(program));
        Pause(1);
    }
    timing->mappedMs = MsSince(start);

    // Each new picture with the time it was first seen; the last one is the picture the
    // window keeps, and the time it first showed is when painting was done.
    std::size_t last = 0;
    double lastSeen = 0;
    double settledSince = timing->mappedMs;
    for (bool first = true;; first = false) {
        const std::size_t picture = Picture(x, window, size);
        const double now = MsSince(start);
        if (first || picture != last) {
            last = picture;
            lastSeen = now;
            settledSince = now;
        }
        if (now - settledSince > kSettledMs)
            break;
        if (now > kGiveUpMs)
            return finish(false, QStringLiteral("the window of %1 never settled").arg(program));
        Pause(2);
    }
    timing->paintedMs = lastSeen;
    return finish(true, QString());
}
