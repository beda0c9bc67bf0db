#include "windows/heldkeys.h"

#include <QAbstractButton>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPointer>

#if QT_CONFIG(xcb)
#include <xcb/xcb.h>
// The header names a structure member "explicit".
#define explicit xkbExplicit
#include <xcb/xkb.h>
#undef explicit

#include <cstdlib>
#include <memory>
#endif

namespace {

bool pressesButtons(int key)
{
    return key == Qt::Key_Space || key == Qt::Key_Select || key == Qt::Key_Return
        || key == Qt::Key_Enter;
}

quint64 keyId(const QKeyEvent &event)
{
    const quint32 scanCode = event.nativeScanCode();
    return scanCode != 0 ? scanCode : quint64(event.key()) << 32;
}

#if QT_CONFIG(xcb)
struct FreeReply
{
    void operator()(void *reply) const { std::free(reply); }
};
template<typename Reply>
using ReplyPtr = std::unique_ptr<Reply, FreeReply>;

xcb_connection_t *x11Connection()
{
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

// Errors are taken here, so that they do not reach Qt's event queue as unexplained ones.
template<typename Reply, typename Cookie>
ReplyPtr<Reply> replyTo(xcb_connection_t *connection, Cookie cookie,
                        Reply *(*wait)(xcb_connection_t *, Cookie, xcb_generic_error_t **))
{
    xcb_generic_error_t *error = nullptr;
    ReplyPtr<Reply> reply(wait(connection, cookie, &error));
    std::free(error);
    return reply;
}

void askForRealReleasesOnly(xcb_connection_t *connection)
{
    // Qt uses the extension on this connection already; asking again costs one round trip and
    // makes this independent of that.
    replyTo(connection,
            xcb_xkb_use_extension(connection, XCB_XKB_MAJOR_VERSION, XCB_XKB_MINOR_VERSION),
            xcb_xkb_use_extension_reply);
    const uint32_t flag = XCB_XKB_PER_CLIENT_FLAG_DETECTABLE_AUTO_REPEAT;
    replyTo(connection,
            xcb_xkb_per_client_flags(connection, XCB_XKB_ID_USE_CORE_KBD, flag, flag, 0, 0, 0),
            xcb_xkb_per_client_flags_reply);
}
#endif

} // namespace

HeldKeys::HeldKeys(QObject *parent)
    : QObject(parent)
{
#if QT_CONFIG(xcb)
    if (xcb_connection_t *connection = x11Connection())
        askForRealReleasesOnly(connection);
#endif
}

void HeldKeys::install()
{
    static QPointer<HeldKeys> filter;
    if (filter || !qApp)
        return;
    filter = new HeldKeys(qApp);
    qApp->installEventFilter(filter);
}

bool HeldKeys::startsKeystroke(const QKeyEvent &event)
{
    const quint64 id = keyId(event);
    const bool starts = !event.isAutoRepeat() && !m_down.contains(id);
    m_down.insert(id);
    return starts;
}

bool HeldKeys::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease: {
        // A key event reaches the window first and then the focus widget; the widget's turn is
        // the one that counts. Its parents see it again only when the widget ignored it.
        if (!watched->isWidgetType())
            break;
        const auto &key = *static_cast<const QKeyEvent *>(event);
        if (event->type() == QEvent::KeyRelease) {
            if (!key.isAutoRepeat())
                m_down.remove(keyId(key));
            break;
        }
        const bool starts = startsKeystroke(key);
        return !starts && pressesButtons(key.key()) && qobject_cast<QAbstractButton *>(watched);
    }
    case QEvent::WindowActivate:
        // A release can go where this filter never sees it: to another program, or to a window
        // that a modal one blocks (Enter on "Set" opens the error box before the key is up).
        // Either way, another window has the keyboard now.
        if (watched->isWidgetType() && static_cast<QWidget *>(watched)->isWindow())
            keepOnlyKeysStillDown();
        break;
    default:
        break;
    }
    return false;
}

void HeldKeys::keepOnlyKeysStillDown()
{
#if QT_CONFIG(xcb)
    if (xcb_connection_t *connection = x11Connection()) {
        const auto keymap =
            replyTo(connection, xcb_query_keymap(connection), xcb_query_keymap_reply);
        if (keymap) {
            m_down.removeIf(
                [&](quint64 id) { return id > 255 || !(keymap->keys[id / 8] & (1u << (id % 8))); });
            return;
        }
    }
#endif
    m_down.clear();
}
