// What the shared libraries show the programs and plug-ins that load them.
//
// Everything is built with hidden visibility; HWTABLES_API marks the classes and
// functions of the public interface, which are exported from the library that defines
// them. A plug-in exports its marker (HWTABLES_PLUGIN_EXPORT, Plugin::PluginInfo) and
// the entry points a platform finds by name with dlsym, marked HWTABLES_PLUGIN_API:
// per table its factories, its reader's factories and its type-runtime record.
// Nothing else of a plug-in is exported.
#pragma once

#define HWTABLES_API __attribute__((visibility("default")))
#define HWTABLES_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))
#define HWTABLES_PLUGIN_API __attribute__((visibility("default")))
