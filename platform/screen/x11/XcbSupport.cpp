#include "platform/screen/x11/XcbSupport.h"

#include "platform/errors/Failure.h"

#include <cstdint>
#include <cstring>
#include <iterator>

void failToReadScreen(const QString& why)
{
    throw Failure(QStringLiteral("Cannot read the screen: ") + why);
}

QString errorName(int code)
{
    static const char* const names[] = {"",          "BadRequest", "BadValue",         "BadWindow", "BadPixmap",
                                        "BadAtom",   "BadCursor",  "BadFont",          "BadMatch",  "BadDrawable",
                                        "BadAccess", "BadAlloc",   "BadColor",         "BadGC",     "BadIDChoice",
                                        "BadName",   "BadLength",  "BadImplementation"};
    if (code > 0 && code < static_cast<int>(std::size(names))) {
        return QString::fromLatin1(names[code]);
    }
    return QStringLiteral("error %1").arg(code);
}

xcb_atom_t internAtom(xcb_connection_t* c, const char* name, bool onlyIfExists)
{
    const xcb_intern_atom_cookie_t cookie =
        xcb_intern_atom(c, onlyIfExists ? 1 : 0, static_cast<std::uint16_t>(std::strlen(name)), name);
    const XcbReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(c, cookie, nullptr));
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}
