#include "ScreenSupport.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace screen
{
void pump(int ms)
{
    juce::MessageManager::getInstance()->runDispatchLoopUntil(ms);
}

bool pump_until(const std::function<bool()>& done, int timeout_ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done() && std::chrono::steady_clock::now() < end)
        pump(10);
    return done();
}

struct Display::Connection
{
    ::Display* const display = XOpenDisplay(nullptr);
    ::Window window = 0;
    ~Connection()
    {
        if (display == nullptr)
            return;
        if (window != 0)
            XDestroyWindow(display, window);
        XCloseDisplay(display);
    }
};

Display::Display() : x(std::make_unique<Connection>()) {}

Display::~Display() = default;

bool Display::usable() const
{
    int event, error, major, minor;
    return x->display != nullptr && XTestQueryExtension(x->display, &event, &error, &major, &minor);
}

void Display::button(juce::Point<int> p, bool down)
{
    XTestFakeMotionEvent(x->display, -1, p.x, p.y, CurrentTime);
    XTestFakeButtonEvent(x->display, 1, down ? True : False, CurrentTime);
    XSync(x->display, False);
    pump(60);
}

void Display::move(juce::Point<int> p)
{
    ::Window root, child;
    int x0 = 0, y0 = 0, wx, wy;
    unsigned int mask;
    XQueryPointer(x->display, DefaultRootWindow(x->display), &root, &child, &x0, &y0, &wx, &wy, &mask);
    const juce::Point<int> from(x0, y0);
    const int steps = std::max(1, int(std::ceil(from.getDistanceFrom(p) / 10.0)));
    for (int k = 1; k <= steps; ++k)
    {
        const auto at = from + (p - from) * k / steps;
        XTestFakeMotionEvent(x->display, -1, at.x, at.y, CurrentTime);
        XSync(x->display, False);
        pump(10);
    }
    pump(50);
}

void Display::wheel(juce::Point<int> p, int notches)
{
    XTestFakeMotionEvent(x->display, -1, p.x, p.y, CurrentTime);
    const unsigned int button = notches > 0 ? 4 : 5;
    for (int k = 0; k < std::abs(notches); ++k)
    {
        XTestFakeButtonEvent(x->display, button, True, CurrentTime);
        XTestFakeButtonEvent(x->display, button, False, CurrentTime);
    }
    XSync(x->display, False);
    pump(60);
}

void Display::key(const char* name)
{
    const KeyCode code = XKeysymToKeycode(x->display, XStringToKeysym(name));
    XTestFakeKeyEvent(x->display, code, True, CurrentTime);
    XTestFakeKeyEvent(x->display, code, False, CurrentTime);
    XSync(x->display, False);
    pump(60);
}

unsigned long Display::focus() const
{
    ::Window window = 0;
    int revert = 0;
    XGetInputFocus(x->display, &window, &revert);
    return window;
}

void Display::set_focus(unsigned long window)
{
    XSetInputFocus(x->display, window, RevertToParent, CurrentTime);
    XSync(x->display, False);
    pump(60);
}

unsigned long Display::own_window()
{
    if (x->window == 0)
    {
        const int screen = DefaultScreen(x->display);
        x->window = XCreateSimpleWindow(x->display, RootWindow(x->display, screen),
                                        DisplayWidth(x->display, screen) - 8,
                                        DisplayHeight(x->display, screen) - 8, 8, 8, 0, 0, 0);
        XMapWindow(x->display, x->window);
        XSync(x->display, False);
    }
    return x->window;
}

juce::Image Display::grab(juce::Rectangle<int> area) const
{
    juce::Image out(juce::Image::RGB, area.getWidth(), area.getHeight(), true);
    XImage* const image =
        XGetImage(x->display, DefaultRootWindow(x->display), area.getX(), area.getY(),
                  unsigned(area.getWidth()), unsigned(area.getHeight()), AllPlanes, ZPixmap);
    if (image == nullptr)
        return out;
    for (int py = 0; py < area.getHeight(); ++py)
        for (int px = 0; px < area.getWidth(); ++px)
        {
            const unsigned long v = XGetPixel(image, px, py);
            out.setPixelAt(px, py, juce::Colour(juce::uint8(v >> 16), juce::uint8(v >> 8), juce::uint8(v)));
        }
    XDestroyImage(image);
    return out;
}

unsigned long Display::window_at(juce::Point<int> p) const
{
    ::Window window = DefaultRootWindow(x->display), child = 0;
    int wx, wy;
    while (XTranslateCoordinates(x->display, DefaultRootWindow(x->display), window, p.x, p.y, &wx, &wy,
                                 &child) &&
           child != 0)
        window = child;
    return window;
}

unsigned long Display::nest(int depth)
{
    std::vector<::Window> windows{DefaultRootWindow(x->display)};
    for (int k = 0; k <= depth; ++k)
        windows.push_back(XCreateSimpleWindow(x->display, windows.back(), 0, 0, 4, 4, 0, 0, 0));
    for (std::size_t k = 1; k < windows.size(); ++k)
        XMapWindow(x->display, windows[k]);
    XSetInputFocus(x->display, windows.back(), RevertToParent, CurrentTime);
    XSync(x->display, False);
    return windows[1];
}

void Display::place(unsigned long window, juce::Point<int> p)
{
    XMoveWindow(x->display, window, p.x, p.y);
    XSync(x->display, False);
}

void Display::raise(unsigned long window)
{
    XRaiseWindow(x->display, window);
    XSync(x->display, False);
}

void Display::destroy(unsigned long window)
{
    XDestroyWindow(x->display, window);
    XSync(x->display, False);
}

void Display::send_xembed(unsigned long window, long message)
{
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(x->display, "_XEMBED", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = CurrentTime;
    event.xclient.data.l[1] = message;
    XSendEvent(x->display, window, False, NoEventMask, &event);
    XSync(x->display, False);
}

void Display::send_configure(unsigned long window)
{
    XEvent event{};
    event.xconfigure.type = ConfigureNotify;
    event.xconfigure.event = event.xconfigure.window = window;
    event.xconfigure.above = DefaultRootWindow(x->display); // restacked
    XSendEvent(x->display, window, False, StructureNotifyMask, &event);
    XSync(x->display, False);
}

void Display::fail()
{
    ::Window root, parent, *children = nullptr;
    unsigned int count = 0;
    XQueryTree(x->display, None, &root, &parent, &children, &count);
    XSync(x->display, False);
}

int differing_pixels(const juce::Image& a, const juce::Image& b, const int threshold)
{
    if (a.getBounds() != b.getBounds())
        return std::max(a.getWidth() * a.getHeight(), b.getWidth() * b.getHeight());
    int count = 0;
    for (int py = 0; py < a.getHeight(); ++py)
        for (int px = 0; px < a.getWidth(); ++px)
        {
            const juce::Colour p = a.getPixelAt(px, py), q = b.getPixelAt(px, py);
            const int d = std::max({std::abs(p.getRed() - q.getRed()), std::abs(p.getGreen() - q.getGreen()),
                                    std::abs(p.getBlue() - q.getBlue())});
            count += d > threshold ? 1 : 0;
        }
    return count;
}
} // namespace screen
