#pragma once

// The about box that the master view's logo opens: the product's logo, a link to the maker's web
// site, the product name with the plug-in format in use, a copyright line, the version with the
// build time, and an "Ok" button. Launched without blocking the host; the dialog window owns its
// content and deletes it when it closes. Message thread only.

#include "editor/JUCECallbackManager.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <memory>
#include <string>

// The about box's background (opaque black) and its text and link colour (opaque light grey).
extern const juce::Colour DIALOG_BGCOL;
extern const juce::Colour DIALOG_TEXTCOL;

// The maker's web address that the about box shows; the link opens it with a trailing slash.
extern const char* const MAKER_ADDRESS;

class AboutComponent : public juce::Component, public juce::Timer
{
public:
    // The logo is the embedded "logo.png".
    explicit AboutComponent(const std::string& text);
    // With the given logo; none when it is not a valid image.
    AboutComponent(const std::string& text, const juce::Image& logo_image);
    ~AboutComponent() override;

    void paint(juce::Graphics& g) override;
    // Every 500 ms until the dialog window holds the component: sets that window always on top.
    void timerCallback() override;

private:
    friend struct AboutComponentTestAccess;

    juce::LookAndFeel_V3 look;
    std::unique_ptr<juce::Drawable> logo;
    juce::HyperlinkButton link;
    juce::Label text_label;
    juce::TextButton ok_button{"Ok"};
    JUCECallbackManager callbacks;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(AboutComponent)
};

// The about text: maker and product with the first format whose flag is set, the copyright line,
// and the version with the build time and date.
std::string about_text(bool au, bool vst, bool vst3, bool rtas, bool aax);

// Reads the log level (first call in the process), then launches the about box and returns at once.
void show_about_dialog(bool au, bool vst, bool vst3, bool rtas, bool aax);
