#include "engine/OnStart.h"

#include "engine/Logger.h"
#include "engine/StaticInitOrder.h"
#include "search/Plugin.h"

#include <iostream>
#include <sstream>

namespace i18n
{
StringSetup::StringSetup()
    : texts{"Polarity Left/Mono",
            "Keep or invert polarity of the Left/Mono channel",
            "Polarity Right",
            "Keep or invert polarity of the Right channel",
            "Gain",
            "Gain"}
{
}

StringSetup::~StringSetup() = default;

StringSetup string_setup SIGNFLUX_INIT_I18N;
} // namespace i18n

OnStart onstart SIGNFLUX_INIT_ONSTART;

namespace
{
template <class P>
void list_plugin(logger::log& out, const P& plugin, const char* range)
{
    out << "\n\t" << plugin.name();
    out << "\n\t\tDesc: " << plugin.description();
    out << "\n\t\tSupported Track Count: [" << plugin.min_tracks() << range;
    out << "\n\t\tEnabled: ";
    if (plugin.enabled())
        out << "Yes";
    else
        out << "No, " << plugin.disableReason();
    out << "\n\t\tPriority: " << plugin.priority();
    out << "\n\t\tTags:";
    const unsigned tags = plugin.tags();
    for (unsigned bit = 1; bit != 0; bit <<= 1)
        if (tags & bit)
            out << " " << plugin.tagName(bit);
}
} // namespace

OnStart::OnStart()
{
    // This object is built before the default-priority initialisers, among them the one that sets
    // up the standard streams: make sure they exist before the banner is written.
    const std::ios_base::Init streams;
    std::cerr << std::string(61, '=') << std::endl;
}

OnStart::~OnStart()
{
    try
    {
        on_end_static();
    }
    catch (...)
    {
    }
}

void OnStart::on_start_dynamic()
{
    logger::log out(2, "void OnStart::on_start_dynamic()");
    if (out.suppressed())
        return;

    out << "Correlation Algorithms:";
    for (const auto* plugin : Flipsearch::Factory<Flipsearch::Correlation::Plugin>::get_inst().plugins)
        list_plugin(out, *plugin, ", inf]");

    out << "\nFlipOpt Algorithms:";
    for (const auto* plugin : Flipsearch::Factory<Flipsearch::FlipOpt::Plugin>::get_inst().plugins)
    {
        std::ostringstream range;
        range << ", " << plugin->max_tracks() << "]";
        list_plugin(out, *plugin, range.str().c_str());
    }
}

void OnStart::on_end_static()
{
    dbglog_curtime();
    std::cout << " --- Plugin unloading" << std::endl;
    deinit_debugconsole();
}
