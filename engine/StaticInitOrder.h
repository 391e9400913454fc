#pragma once

// Order of the plug-in's own static construction, after the search library's records (which use
// 1001 to 1009) and before the framework's statics. Destruction runs in the reverse order.

#define SIGNFLUX_INIT_I18N __attribute__((init_priority(1101)))
#define SIGNFLUX_INIT_EDITOR __attribute__((init_priority(1201)))
#define SIGNFLUX_INIT_ONSTART __attribute__((init_priority(1301)))
#define SIGNFLUX_INIT_MANAGER_INST __attribute__((init_priority(1302)))
#define SIGNFLUX_INIT_PREFERENCES __attribute__((init_priority(1401)))
#define SIGNFLUX_INIT_ABOUT __attribute__((init_priority(1402)))
