#pragma once

// Turns lambdas into JUCE button and slider listeners owned by the component that registers them:
// one line wires a control, and every adapter is removed from its control when the owner goes.
// Declare the owner after the controls it wires. Message thread only (JUCE calls the adapters).
// A lambda may take the control's pointer or nothing.

#include <juce_gui_basics/juce_gui_basics.h>

#include <cstddef>
#include <memory>
#include <type_traits>
#include <unordered_map>
#include <utility>

class JUCECallbackManager
{
public:
    // Lets one map own adapters of every kind.
    class CallbackBase
    {
    public:
        virtual ~CallbackBase() = default;
    };

    template <class Lambda, class = void>
    class ButtonCallback : public juce::Button::Listener, CallbackBase
    {
    public:
        ButtonCallback(juce::Button* button_, Lambda lambda_) : button(button_), lambda(std::move(lambda_))
        {
            button->addListener(this);
        }

        // Removes the adapter from its button, when the button still exists.
        ~ButtonCallback() override
        {
            if (auto* b = button.getComponent())
                b->removeListener(this);
        }

        void buttonClicked(juce::Button* clicked) override { invoke(lambda, clicked); }

    private:
        friend class JUCECallbackManager;
        juce::Component::SafePointer<juce::Button> button;
        Lambda lambda;
    };

    template <class Lambda>
    class SliderCallback : public juce::Slider::Listener, CallbackBase
    {
    public:
        SliderCallback(juce::Slider* slider_, Lambda lambda_) : slider(slider_), lambda(std::move(lambda_))
        {
            slider->addListener(this);
        }

        // Removes the adapter from its slider, when the slider still exists.
        ~SliderCallback() override
        {
            if (auto* s = slider.getComponent())
                s->removeListener(this);
        }

        void sliderValueChanged(juce::Slider* changed) override { invoke(lambda, changed); }

    private:
        friend class JUCECallbackManager;
        juce::Component::SafePointer<juce::Slider> slider;
        Lambda lambda;
    };

    JUCECallbackManager() = default;
    JUCECallbackManager(const JUCECallbackManager&) = delete;
    JUCECallbackManager& operator=(const JUCECallbackManager&) = delete;

    // Calls lambda whenever button is clicked; returns the adapter's id.
    template <class Lambda>
    std::size_t buttonClicked(juce::Button* button, Lambda lambda)
    {
        jassert(button != nullptr);
        return add(std::make_unique<ButtonCallback<Lambda>>(button, std::move(lambda)));
    }

    // Calls lambda whenever the slider's value changes; returns the adapter's id.
    template <class Lambda>
    std::size_t sliderValueChanged(juce::Slider* slider, Lambda lambda)
    {
        jassert(slider != nullptr);
        return add(std::make_unique<SliderCallback<Lambda>>(slider, std::move(lambda)));
    }

    std::size_t next_callback_id = 0;
    std::unordered_map<std::size_t, std::unique_ptr<CallbackBase>> callbacks;

private:
    template <class Lambda, class Control>
    static void invoke(Lambda& lambda, Control* control)
    {
        if constexpr (std::is_invocable_v<Lambda&, Control*>)
            lambda(control);
        else
            lambda();
    }

    template <class Adapter>
    std::size_t add(std::unique_ptr<Adapter> adapter)
    {
        const std::size_t id = next_callback_id++;
        std::unique_ptr<CallbackBase> owned(adapter.release());
        callbacks.emplace(id, std::move(owned));
        return id;
    }
};
