#include "XErrorWatch.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <mutex>
#include <vector>

namespace screen
{
namespace
{
struct Range
{
    XID base, mask; // of the resource IDs that the server gave a connection
};
std::mutex mutex;
std::vector<Range> errors; // the connection's range of each error
XErrorHandler replaced = nullptr;

int record(::Display* display, XErrorEvent* error)
{
    if (error->error_code == BadAtom)
        return 0;
    // Xlib's public header calls the fields of a connection's ID range private3 and private4.
    const auto* d = reinterpret_cast<_XPrivDisplay>(display);
    const std::lock_guard<std::mutex> lock(mutex);
    errors.push_back({d->private3, d->private4});
    return 0;
}
} // namespace

XErrorWatch::XErrorWatch()
{
    errors.clear();
    replaced = XSetErrorHandler(record);
}

XErrorWatch::~XErrorWatch()
{
    XSetErrorHandler(replaced);
}

int XErrorWatch::of_maker(unsigned long window) const
{
    const std::lock_guard<std::mutex> lock(mutex);
    return int(std::count_if(errors.begin(), errors.end(),
                             [window](const Range& r) { return (window & ~r.mask) == r.base; }));
}

bool XErrorWatch::installed() const
{
    return XSetErrorHandler(record) == record;
}
} // namespace screen
