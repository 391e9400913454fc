// The hosting tests' own build of the framework dispatches the X events that Xlib has already read
// from the connection. A request that waits for a reply reads the events that came before the reply
// into Xlib's queue and leaves the socket empty, so a message loop that waits only for the socket
// to become readable left them there until some other event arrived; the host's windows then did
// not follow the editors embedded in them.

#include "ScreenSupport.h"

#include <gtest/gtest.h>

namespace
{
// Another client moves a window of the framework's; the move's configure event arrives before the
// reply to a request of the framework's own (where the pointer is), which reads it into the queue,
// and nothing else comes to the connection afterwards.
TEST(HostEventLoop, EventsReadWithAReplyAreDispatched)
{
    screen::Display x;
    if (!x.usable())
        GTEST_SKIP() << "needs an X display with the XTest extension (run under xvfb-run)";
    juce::Component window;
    window.setOpaque(true);
    window.setBounds(100, 100, 60, 40);
    window.addToDesktop(0);
    window.setVisible(true);
    screen::pump(300);
    ASSERT_EQ(window.getScreenPosition(), juce::Point<int>(100, 100));

    x.place(reinterpret_cast<juce::pointer_sized_uint>(window.getWindowHandle()), {300, 200});
    juce::Desktop::getInstance().getMousePosition();
    EXPECT_TRUE(
        screen::pump_until([&] { return window.getScreenPosition() == juce::Point<int>(300, 200); }, 2000))
        << "the window is at " << window.getScreenPosition().toString();
}
} // namespace
