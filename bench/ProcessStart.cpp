#include "ProcessStart.h"

#include "Cipher.h"

#include <QByteArray>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string_view>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>
#include <xcb/xcb.h>

namespace {

// How long a picture must stay the same to count as the one the window keeps.
constexpr double kSettledMs = 750;
constexpr double kGiveUpMs = 120000;

void Pause(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

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

// The process's address space in KiB; 0 when it cannot be read.
long SpaceKiB(pid_t pid) {
    char name[32];
    std::snprintf(name, sizeof name, "/proc/%d/statm", int(pid));
    const int fd = ::open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char text[64] = {};
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    return n > 0 ? std::atol(text) * (sysconf(_SC_PAGESIZE) / 1024) : 0;
}

// The key derivation seen from outside: its memory is one block, mapped when it begins and
// unmapped when it ends, far larger than anything else the program maps at once.
class DerivationWatch {
public:
    explicit DerivationWatch(pid_t pid) : pid_(pid), space_(SpaceKiB(pid)) {}

    void Look(double nowMs, double* derivationMs) {
        const long space = SpaceKiB(pid_);
        if (space <= 0)
            return;
        if (since_ < 0 && *derivationMs == 0 && space - space_ >= kBlockKiB)
            since_ = nowMs;
        else if (since_ >= 0 && space_ - space >= kBlockKiB) {
            *derivationMs = nowMs - since_;
            since_ = -1;
        }
        space_ = space;
    }

private:
    static constexpr long kBlockKiB = long(Cipher::kCatalogueCost.memoryKiB) * 9 / 10;
    pid_t pid_;
    long space_;
    double since_ = -1;
};

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
    ChildOptions options;
    options.descriptor3 = fds[1];
    const bool started = server_.Start(
        {"Xvfb", "-displayfd", "3", "-screen", "0", "1280x1024x24", "-nolisten", "tcp", "-noreset"},
        options, &error_);
    ::close(fds[1]);
    QByteArray number;
    char ch;
    while (started && ::read(fds[0], &ch, 1) == 1 && ch != '\n')
        number += ch;
    ::close(fds[0]);
    if (started && number.isEmpty())
        error_ = QStringLiteral("Xvfb did not start");
    else if (started)
        name_ = QLatin1Char(':') + QString::fromLatin1(number);
}

bool TimeStart(const QStringList& command, ChildOptions options, const QString& display, QSize size,
               StartTiming* timing, QString* error) {
    xcb_connection_t* x = xcb_connect(display.toLocal8Bit().constData(), nullptr);
    if (xcb_connection_has_error(x)) {
        xcb_disconnect(x);
        return Failed(error, QStringLiteral("cannot reach the X server %1").arg(display));
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;

    options.environment << QStringLiteral("DISPLAY=") + display
                        << QStringLiteral("QT_QPA_PLATFORM=xcb");
    Child child;
    *timing = StartTiming();
    QString failure;
    const QString program = command.value(0);
    if (!child.Start(command, options, &failure)) {
        xcb_disconnect(x);
        return Failed(error, failure);
    }
    const auto finish = [&](bool ok, const QString& text) {
        timing->peakMb = child.Stop().peakMb;
        xcb_disconnect(x);
        return ok || Failed(error, text);
    };

    DerivationWatch derivation(child.Pid());
    xcb_window_t window = 0;
    for (;;) {
        derivation.Look(child.ElapsedMs(), &timing->derivationMs);
        if ((window = FindWindow(x, root, size)))
            break;
        if (!child.Running())
            return finish(false, QStringLiteral("%1 ended before showing its window").arg(program));
        if (child.ElapsedMs() > kGiveUpMs)
            return finish(false, QStringLiteral("no window of %1 appeared").arg(program));
        Pause(1);
    }
    timing->mappedMs = child.ElapsedMs();

    // Each new picture with the time it was first seen; the last one is the picture the
    // window keeps, and the time it first showed is when painting was done.
    std::size_t last = 0;
    double lastSeen = 0;
    double settledSince = timing->mappedMs;
    for (bool first = true;; first = false) {
        const std::size_t picture = Picture(x, window, size);
        const double now = child.ElapsedMs();
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
