#pragma once

// What every xcb file of this folder shares: replies that free themselves, the names of protocol errors, atoms, and
// the one way a failed request becomes a Failure. Included only by the .cpp files beside it, which need xcb anyway.

#include <QString>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <xcb/xcb.h>

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
// Replies, errors and events come from malloc and go back with free.
template <typename T> using XcbReply = std::unique_ptr<T, FreeDeleter>;

struct Disconnect {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
using Connection = std::unique_ptr<xcb_connection_t, Disconnect>;

// "Cannot read the screen: " and why.
[[noreturn]] void failToReadScreen(const QString& why);

// "BadMatch" and the like; "error N" for codes the core protocol does not name.
QString errorName(int code);

// XCB_ATOM_NONE when the name cannot be interned, or when `onlyIfExists` and nobody ever asked for the name.
xcb_atom_t internAtom(xcb_connection_t* c, const char* name, bool onlyIfExists = false);

// The same for several names in one round trip.
template <std::size_t N>
std::array<xcb_atom_t, N> internAtoms(xcb_connection_t* c, const std::array<const char*, N>& names)
{
    std::array<xcb_intern_atom_cookie_t, N> cookies{};
    for (std::size_t i = 0; i < N; ++i) {
        cookies[i] = xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(names[i])), names[i]);
    }
    std::array<xcb_atom_t, N> atoms{};
    for (std::size_t i = 0; i < N; ++i) {
        const XcbReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(c, cookies[i], nullptr));
        atoms[i] = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    }
    return atoms;
}

// Waits for a reply and turns a protocol error or a broken connection into a Failure that names `request`.
template <typename Reply, typename Cookie, typename ReplyFunction>
XcbReply<Reply> takeReply(xcb_connection_t* c, Cookie cookie, ReplyFunction replyFunction, const QString& request)
{
    xcb_generic_error_t* rawError = nullptr;
    XcbReply<Reply> reply(replyFunction(c, cookie, &rawError));
    const XcbReply<xcb_generic_error_t> error(rawError);
    if (error) {
        failToReadScreen(QStringLiteral("the X server refused %1 (%2)").arg(request, errorName(error->error_code)));
    }
    if (!reply) {
        failToReadScreen(QStringLiteral("the connection to the X server was lost"));
    }
    return reply;
}
