#pragma once

// The X errors of every connection of the process, recorded as a host's own error handler would
// see them (GTK's ends the process on any of them) while a watch exists; the handler that was
// installed is put back when it ends. Errors may come on any thread. BadAtom errors are not
// counted: they come from the missing window manager (the framework names properties by atoms that
// only a window manager makes, and a desktop has them). Made and ended on the test's thread.

namespace screen
{
class XErrorWatch
{
public:
    XErrorWatch();
    ~XErrorWatch();
    XErrorWatch(const XErrorWatch&) = delete;
    XErrorWatch& operator=(const XErrorWatch&) = delete;

    // How many errors came on the connection of the client that made window (a window's ID lies in
    // the range of IDs that the server gave its maker).
    int of_maker(unsigned long window) const;
    // Whether the watch's handler is the one installed now (nothing left another in its place).
    bool installed() const;
};
} // namespace screen
