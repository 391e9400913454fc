#pragma once

// The X server as a user meets it, for tests that drive real windows: pointer presses and releases
// that the server delivers like a real mouse's (XTest), pixels read back from the screen, and
// images compared with a tolerance. Coordinates are the screen's. Everything runs on the test's
// message thread, which must run the message loop for the windows to see the events.

#include <juce_gui_basics/juce_gui_basics.h>

#include <functional>
#include <memory>

namespace screen
{
// Runs the message loop for about ms milliseconds.
void pump(int ms = 20);
// Runs the message loop until done() holds, for at most timeout_ms; returns done().
bool pump_until(const std::function<bool()>& done, int timeout_ms = 5000);

// A connection of the test's own to the X server that JUCE's windows are on.
class Display
{
public:
    Display();
    ~Display();

    // The server is there and has the XTest extension.
    bool usable() const;

    // Moves the pointer to p, presses (down) or releases the left button there, and runs the
    // message loop for a moment.
    void button(juce::Point<int> p, bool down);
    void press(juce::Point<int> p) { button(p, true); }
    void release(juce::Point<int> p) { button(p, false); }
    void click(juce::Point<int> p)
    {
        press(p);
        release(p);
    }
    // Moves the pointer to p (in steps of at most 10 pixels from where it is).
    void move(juce::Point<int> p);
    // Presses at from, moves to to and releases there.
    void drag(juce::Point<int> from, juce::Point<int> to)
    {
        press(from);
        move(to);
        release(to);
    }
    // Turns the mouse wheel at p by notches, away from the user (up) when positive.
    void wheel(juce::Point<int> p, int notches);
    // Presses and releases the key of the X key name (such as "Escape").
    void key(const char* name);

    // The window that has the keyboard focus, and giving it to a window.
    unsigned long focus() const;
    void set_focus(unsigned long window);
    // A small window of this connection's own, standing for a host's main window (made and shown at
    // the screen's bottom right corner on first use).
    unsigned long own_window();

    // The pixels of a screen area as they are shown now.
    juce::Image grab(juce::Rectangle<int> area) const;

    // What another client does to windows, without running the message loop: the innermost window
    // shown at p (an editor's own window where the editor is); a window of this connection's own
    // with depth windows nested in it, shown, with the keyboard focus on the innermost (returns the
    // outermost); moving a window; raising one above its siblings, as a window manager does;
    // destroying one; sending a window the XEmbed message that an embedder sends (4 focus in, 5
    // focus out), or a configure notice as a window manager sends; a request that fails (an error
    // on this connection).
    unsigned long window_at(juce::Point<int> p) const;
    unsigned long nest(int depth);
    void place(unsigned long window, juce::Point<int> p);
    void raise(unsigned long window);
    void destroy(unsigned long window);
    void send_xembed(unsigned long window, long message);
    void send_configure(unsigned long window);
    void fail();

private:
    struct Connection;
    std::unique_ptr<Connection> x;
};

// How many pixels of two images of one size differ by more than threshold in a colour channel;
// every pixel when the sizes differ.
int differing_pixels(const juce::Image& a, const juce::Image& b, int threshold = 40);

// Whether an image shows what a reference shows: at most one pixel in a hundred differs clearly
// (scaled images are resampled a little differently here and there).
inline bool matches(const juce::Image& shown, const juce::Image& reference)
{
    return differing_pixels(shown, reference) <= shown.getWidth() * shown.getHeight() / 100;
}
} // namespace screen
