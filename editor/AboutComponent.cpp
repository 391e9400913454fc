#include "editor/AboutComponent.h"

#include "editor/BinaryDataIndex.h"
#include "engine/Preferences.h"
#include "engine/StaticInitOrder.h"

#include <sstream>

const juce::Colour DIALOG_BGCOL SIGNFLUX_INIT_ABOUT(0xFF000000);
const juce::Colour DIALOG_TEXTCOL SIGNFLUX_INIT_ABOUT(0xFFDFDFDF);
const char* const MAKER_ADDRESS = "https://tonewharf.com";

namespace
{
const char* const COPYRIGHT_LINE = "Copyright (C) 2026 Tonewharf, GPL v3";

juce::Image embedded_logo()
{
    std::size_t size = 0;
    if (const unsigned char* const png = details_::retrieve_binary_data("logo.png", size))
        return juce::ImageFileFormat::loadFrom(png, size);
    return {};
}
} // namespace

AboutComponent::AboutComponent(const std::string& text) : AboutComponent(text, embedded_logo()) {}

AboutComponent::AboutComponent(const std::string& text, const juce::Image& logo_image)
    : link(MAKER_ADDRESS, juce::URL(juce::String(MAKER_ADDRESS) + "/"))
{
    setSize(300, 100);

    link.setSize(50, 15);
    link.setLookAndFeel(&look);
    const juce::Font label_font = text_label.getFont();
    link.setFont(label_font.withHeight(label_font.getHeight() * 0.75f).withStyle(juce::Font::underlined),
                 false, juce::Justification::left);
    link.changeWidthToFitText();
    link.setColour(juce::HyperlinkButton::textColourId, DIALOG_TEXTCOL);

    text_label.setText(text, juce::dontSendNotification);
    text_label.setLookAndFeel(&look);
    text_label.setEditable(false, false, false);

    if (logo_image.isValid())
    {
        auto image = std::make_unique<juce::DrawableImage>();
        image->setImage(logo_image);
        image->setBoundingBox(juce::Parallelogram<float>(juce::Rectangle<float>(
            10.0f, 10.0f, float(logo_image.getWidth()), float(logo_image.getHeight()))));
        logo = std::move(image);
        addAndMakeVisible(*logo);
        link.setBounds(logo_image.getWidth() + 15, 10, link.getWidth(), logo_image.getHeight());
    }
    else
    {
        link.setTopLeftPosition(getWidth() / 2 - link.getWidth() / 2, 10);
    }
    addAndMakeVisible(link);

    text_label.setBounds(10, link.getBottom() + 10, getWidth() - 20, 50);
    text_label.setColour(juce::Label::textColourId, DIALOG_TEXTCOL);
    addAndMakeVisible(text_label);

    ok_button.setLookAndFeel(&look);
    ok_button.setSize(75, 25);
    ok_button.setTopLeftPosition(getWidth() / 3 - ok_button.getWidth() / 2, text_label.getBottom() + 10);
    callbacks.buttonClicked(&ok_button,
                            [this]
                            {
                                if (auto* window = findParentComponentOfClass<juce::DialogWindow>())
                                    window->exitModalState(0);
                            });
    addAndMakeVisible(ok_button);

    setSize(getWidth(), ok_button.getBottom() + 10);
    startTimer(500);
}

AboutComponent::~AboutComponent()
{
    stopTimer();
    for (juce::Component* c : std::initializer_list<juce::Component*>{&link, &text_label, &ok_button})
        c->setLookAndFeel(nullptr);
}

void AboutComponent::paint(juce::Graphics& g)
{
    g.fillAll(DIALOG_BGCOL);
}

void AboutComponent::timerCallback()
{
    if (auto* window = dynamic_cast<juce::DialogWindow*>(getParentComponent()))
    {
        window->setAlwaysOnTop(true);
        stopTimer();
    }
}

std::string about_text(const bool au, const bool vst, const bool vst3, const bool rtas, const bool aax)
{
    std::ostringstream s;
    s << "Tonewharf"
      << " "
      << "Signflux";
    if (au)
        s << " (AU)";
    else if (vst)
        s << " (VST)";
    else if (vst3)
        s << " (VST3)";
    else if (rtas)
        s << " (RTAS)";
    else if (aax)
        s << " (AAX)";
    s << "\n" << COPYRIGHT_LINE << "\n";
    s << "Version "
      << "1.0.2"
      << " (" << __TIME__ << " " << __DATE__ << ")";
    return s.str();
}

void show_about_dialog(const bool au, const bool vst, const bool vst3, const bool rtas, const bool aax)
{
    load_log_level();
    juce::DialogWindow::LaunchOptions options;
    options.dialogTitle = "About Signflux";
    options.escapeKeyTriggersCloseButton = true;
    options.useNativeTitleBar = true;
    options.resizable = false;
    options.useBottomRightCornerResizer = false;
    options.componentToCentreAround = nullptr;
    options.content.setOwned(new AboutComponent(about_text(au, vst, vst3, rtas, aax)));
    options.launchAsync();
}
