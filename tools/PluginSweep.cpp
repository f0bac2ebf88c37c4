// corvena-plugin-sweep: what the engine's plug-in slot makes of one VST 3
// class, for scripts/plugin-sweep.sh (a survey of a distribution's plug-ins,
// one class per process so that a crash or a hang is a result, not the end).
//
//   corvena-plugin-sweep classes BUNDLE        one line per audio class: index, kind, name
//   corvena-plugin-sweep try BUNDLE INDEX      loads the class as an effect, feeds it a
//                                              second of plucked guitar, shows its editor
//                                              (DISPLAY) and unloads it; prints the result,
//                                              exits 0 when nothing failed
//   corvena-plugin-sweep read-only BUNDLE      processes three seconds and prints the class's
//                                              read-only parameters (what a host checker found)
//   corvena-plugin-sweep protocol-only FILE N  exits 0 when FILE holds N lines, each a JSON object
#include "plugin/Module.h"
#include "plugin/PluginSlot.h"

#include <X11/Xlib.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

using namespace corvena;

namespace {

// One second of a plucked low E, decaying partials and a little noise, block by block.
int processSecond(PluginSlot& slot, bool& finite, bool& changes) {
    constexpr int n = 256;
    std::vector<float> in(n), left(n), right(n);
    uint32_t noise = 1;
    int processed = 0;
    for (int block = 0; block < 48000 / n; ++block) {
        for (int i = 0; i < n; ++i) {
            const double t = (block * n + i) / 48000.0;
            noise = noise * 1664525u + 1013904223u;
            in[i] = static_cast<float>(0.3 * std::exp(-3 * t) * (std::sin(2 * M_PI * 82.4 * t) + 0.5 * std::sin(2 * M_PI * 164.8 * t)) +
                                       1e-3 * (noise / 4294967296.0 - 0.5));
        }
        if (!slot.process(in.data(), left.data(), right.data(), n)) continue;
        ++processed;
        for (int i = 0; i < n; ++i) {
            finite = finite && std::isfinite(left[i]) && std::isfinite(right[i]);
            changes = changes || std::fabs(left[i] - in[i]) > 1e-4f || std::fabs(right[i] - in[i]) > 1e-4f;
        }
    }
    return processed;
}

// The editor's top-level window ("Amp") on DISPLAY, with its size; 0 when there is none.
unsigned long editorWindow(int& width, int& height) {
    Display* d = XOpenDisplay(nullptr);
    if (!d) return 0;
    unsigned long found = 0;
    Window root, parent, *kids = nullptr;
    unsigned count = 0;
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; }); // windows may vanish meanwhile
    if (XQueryTree(d, DefaultRootWindow(d), &root, &parent, &kids, &count) && kids) {
        for (unsigned k = 0; k < count; ++k) {
            char* name = nullptr;
            if (XFetchName(d, kids[k], &name) && name) {
                XWindowAttributes a{};
                if (std::string(name) == "Amp" && XGetWindowAttributes(d, kids[k], &a))
                    found = kids[k], width = a.width, height = a.height;
                XFree(name);
            }
        }
        XFree(kids);
    }
    XCloseDisplay(d);
    return found;
}

int colours(unsigned long window) {
    const std::string cmd = "import -window " + std::to_string(window) + " png:- 2>/dev/null | identify -format %k - 2>/dev/null";
    int n = 0;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        if (std::fscanf(p, "%d", &n) != 1) n = 0;
        pclose(p);
    }
    return n;
}

int tryClass(const std::string& bundle, int index) {
    PluginSlot slot;
    slot.prepare(48000.0, 256);
    std::string error;
    if (!slot.load(bundle, error, index)) {
        std::printf("load failed: %s\n", error.c_str());
        return 1;
    }
    bool finite = true, changes = false;
    const int processed = processSecond(slot, finite, changes);
    std::string result = processed == 0 ? "no block processed" : !finite ? "non-finite output"
                         : changes ? "processes, changes the sound" : "processes, passes the signal unchanged";
    bool ok = processed > 0 && finite;
    if (!slot.openEditor(error)) {
        std::printf("%s; editor: %s\n", result.c_str(), error.c_str());
        return ok && error == "this plugin has no editor" ? 0 : 1;
    }
    for (auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(700); std::chrono::steady_clock::now() < until;) {
        slot.pumpEditor();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    int width = 0, height = 0, viewWidth = 0, viewHeight = 0;
    const unsigned long window = editorWindow(width, height);
    slot.editorSize(viewWidth, viewHeight);
    if (!window) {
        ok = false;
        result += "; editor: no window";
    } else {
        const int seen = colours(window);
        const bool sized = width == viewWidth && height == viewHeight;
        ok = ok && sized && seen > 1;
        result += "; editor " + std::to_string(width) + "x" + std::to_string(height) +
                  (sized ? "" : " (view " + std::to_string(viewWidth) + "x" + std::to_string(viewHeight) + ")") + ", " +
                  std::to_string(seen) + " colours";
    }
    slot.closeEditor();
    slot.unload();
    std::printf("%s\n", result.c_str());
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "classes") {
        std::string error;
        const auto module = Module::create(args[1], error);
        if (!module) {
            std::printf("no classes: %s\n", error.c_str());
            return 1;
        }
        const auto infos = module->getFactory().classInfos();
        for (size_t i = 0; i < infos.size(); ++i)
            if (infos[i].category == "Audio Module Class")
                std::printf("%zu\t%s\t%s\n", i, infos[i].isAudioEffect() ? "effect" : "instrument", infos[i].name.c_str());
        return 0;
    }
    if (args.size() == 3 && args[0] == "try") return tryClass(args[1], std::stoi(args[2]));
    if (args.size() == 2 && args[0] == "read-only") {
        PluginSlot slot;
        slot.prepare(48000.0, 256);
        std::string error;
        std::vector<PluginParameter> params;
        bool finite = true, changes = false;
        if (!slot.load(args[1], error) || processSecond(slot, finite, changes) + processSecond(slot, finite, changes) +
                                                  processSecond(slot, finite, changes) == 0 || !slot.parameters(params, error)) {
            std::printf("failed: %s\n", error.c_str());
            return 1;
        }
        for (const auto& p : params)
            if (p.readOnly) std::printf("  %s: %s%s\n", p.title.c_str(), p.display.c_str(), p.units.empty() ? "" : (" " + p.units).c_str());
        return 0;
    }
    if (args.size() == 3 && args[0] == "protocol-only") {
        std::ifstream in(args[1]);
        long lines = 0;
        for (std::string line; std::getline(in, line); ++lines)
            if (!nlohmann::json::parse(line, nullptr, false).is_object()) {
                std::printf("not a protocol line: %s\n", line.c_str());
                return 1;
            }
        if (lines == std::stol(args[2])) return 0;
        std::printf("%ld lines, expected %s\n", lines, args[2].c_str());
        return 1;
    }
    std::fprintf(stderr, "usage: corvena-plugin-sweep classes BUNDLE | try BUNDLE INDEX | read-only BUNDLE | protocol-only FILE N\n");
    return 2;
}
