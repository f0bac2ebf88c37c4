#include "app/Commands.h"
#include "app/AmpSettingsMerge.h"
#include "app/Base64.h"
#include "app/MainLoop.h"
#include "app/RequestFields.h"
#include "engine/Engine.h"

#include <cstdint>
#include <vector>

namespace corvena {

namespace {

// The amp settings last sent; survives stream closes and re-opens.
AmpSettings currentAmpSettings;

void fail(json& reply, const std::string& error) {
    reply["ok"] = false;
    reply["error"] = error;
}

json deviceToJson(const DeviceRecord& d) {
    return json{{"id", d.id},
                {"name", d.name},
                {"api", d.api},
                {"inputChannels", d.inputChannels},
                {"outputChannels", d.outputChannels},
                {"preferredSampleRate", d.preferredSampleRate},
                {"sampleRates", d.sampleRates},
                {"isDefaultInput", d.isDefaultInput},
                {"isDefaultOutput", d.isDefaultOutput}};
}

void cmdListDevices(const json&, json& reply) {
    json devices = json::array();
    for (const auto& d : engine.listDevices()) devices.push_back(deviceToJson(d));
    reply["devices"] = std::move(devices);
}

void cmdOpen(const json& request, json& reply) {
    OpenRequest r;
    r.api = readString(request, "api", r.api);
    r.inputDevice = readUint32(request, "inputDevice", r.inputDevice);
    r.outputDevice = readUint32(request, "outputDevice", r.outputDevice);
    r.inputChannel = readUint32(request, "inputChannel", r.inputChannel);
    r.outputChannel = readUint32(request, "outputChannel", r.outputChannel);
    r.sampleRate = readUint32(request, "sampleRate", r.sampleRate);
    r.blockSize = readUint32(request, "blockSize", r.blockSize);

    StreamInfo info;
    std::string error;
    if (!engine.open(r, info, error)) {
        fail(reply, error);
        return;
    }
    reply["sampleRate"] = info.sampleRate;
    reply["blockSize"] = info.blockSize;
    reply["latencyFrames"] = info.latencyFrames;
    reply["api"] = info.api;
    reply["inputChannelCount"] = engine.inputChannelCount;
    reply["inputChannel"] = engine.selectedInputChannel.load();
    reply["outputChannelCount"] = info.outputChannelCount;
    reply["outputChannel"] = info.outputChannel;
    reply["latencyEstimated"] = info.latencyEstimated;
    reply["latencyMs"] = info.sampleRate == 0 ? 0.0
                                              : static_cast<double>(static_cast<int32_t>(info.latencyFrames)) /
                                                    static_cast<double>(info.sampleRate) * 1000.0;
    reply["captureLatencyMs"] = engine.tone.latencyMs();
}

void cmdClose(const json&, json&) { engine.close(); }

void cmdAmp(const json& request, json&) {
    const AmpSettings settings = mergeAmpSettings(request, currentAmpSettings);
    // Read every field before anything changes, so a mistyped request changes nothing.
    const bool enabled = readBool(request, "enabled", true);
    currentAmpSettings = settings;
    engine.setAmpSettings(settings, enabled);
}

void cmdMonitor(const json& request, json&) {
    const float level = readFloat(request, "level", 0.8f);
    const bool enabled = readBool(request, "enabled", true);
    engine.setMonitor(enabled, level);
}

void cmdInputChannel(const json& request, json& reply) {
    engine.setInputChannel(readUint32(request, "channel", 0));
    reply["inputChannel"] = engine.selectedInputChannel.load();
}

void cmdVstLoad(const json& request, json& reply) {
    const std::string path = readString(request, "path", "");
    std::string error;
    if (!engine.loadPlugin(path, error)) {
        fail(reply, error);
        return;
    }
    reply["name"] = engine.plugin.pluginName();
    reply["path"] = engine.plugin.pluginPath();
}

void cmdVstUnload(const json&, json&) { engine.unloadPlugin(); }

void cmdVstEnable(const json& request, json&) { engine.pluginEnabled.store(readBool(request, "enabled", true)); }

void cmdVstEditor(const json& request, json& reply) {
    if (!readBool(request, "open", true)) {
        engine.plugin.closeEditor();
        return;
    }
    std::string error;
    if (!engine.plugin.openEditor(error)) fail(reply, error);
}

void cmdVstStatus(const json&, json& reply) {
    reply["available"] = pluginHostingAvailable();
    reply["loaded"] = engine.plugin.isReady();
    reply["editorOpen"] = engine.plugin.isEditorOpen();
    reply["name"] = engine.plugin.pluginName();
    reply["path"] = engine.plugin.pluginPath();
}

json parameterToJson(const PluginParameter& p) {
    return json{{"default", p.defaultValue}, {"display", p.display}, {"id", p.id},        {"readOnly", p.readOnly},
                {"steps", p.steps},          {"title", p.title},     {"units", p.units}, {"value", p.value}};
}

void cmdVstParams(const json&, json& reply) {
    std::vector<PluginParameter> params;
    std::string error;
    if (!engine.plugin.parameters(params, error)) {
        fail(reply, error);
        return;
    }
    json list = json::array();
    for (const auto& p : params) list.push_back(parameterToJson(p));
    reply["params"] = std::move(list);
}

// The parameter id travels as "param": "id" is the request's own.
void cmdVstSetParam(const json& request, json& reply) {
    const uint32_t id = readUint32(request, "param", 0);
    const double value = readDouble(request, "value", 0.0);
    if (!hasField(request, "param") || !hasField(request, "value")) {
        fail(reply, "a parameter id and a value are required");
        return;
    }
    PluginParameter now;
    std::string error;
    if (!engine.plugin.setParameter(id, value, now, error)) {
        fail(reply, error);
        return;
    }
    reply["display"] = now.display;
    reply["value"] = now.value;
}

void cmdVstGetState(const json&, json& reply) {
    std::string bytes, error;
    if (!engine.plugin.getState(bytes, error)) {
        fail(reply, error);
        return;
    }
    reply["state"] = encodeBase64(bytes);
}

void cmdVstSetState(const json& request, json& reply) {
    const std::string text = readString(request, "state", "");
    std::string bytes, error;
    if (!engine.plugin.isLoaded()) {
        fail(reply, "no plugin loaded");
        return;
    }
    if (!decodeBase64(text, bytes)) {
        fail(reply, "the state is not valid");
        return;
    }
    if (!engine.plugin.setState(bytes, error)) fail(reply, error);
}

void cabinetToJson(json& reply) {
    reply["path"] = engine.tone.cabinetPath();
    reply["enabled"] = engine.tone.cabinetEnabled();
    reply["normalize"] = engine.tone.cabinetNormalize();
}

// `path` loads (or, empty, unloads) a capture; `normalize` alone re-levels the one loaded.
void cmdCapture(const json& request, json& reply) {
    const std::string path = readString(request, "path", "");
    const bool normalize = readBool(request, "normalize", engine.tone.captureNormalize());
    if (hasField(request, "path")) {
        if (path.empty()) {
            engine.tone.unloadCapture();
        } else {
            CaptureReport report;
            std::string error;
            if (!engine.tone.loadCapture(path, report, error)) {
                fail(reply, error);
                return;
            }
            reply["architecture"] = report.architecture;
            reply["sampleRate"] = report.sampleRate;
            reply["latencyMs"] = report.latencyMs;
            reply["loudness"] = report.loudness ? json(*report.loudness) : json(nullptr);
            reply["metadata"] = report.metadata;
        }
    }
    engine.tone.setCaptureNormalize(normalize);
    reply["path"] = engine.tone.capturePath();
    reply["normalize"] = normalize;
}

// `path` loads (or, empty, unloads) a cabinet impulse response; `enabled` and
// `normalize` alone change how the loaded one is used.
void cmdCabinet(const json& request, json& reply) {
    const std::string path = readString(request, "path", "");
    const bool enabled = readBool(request, "enabled", engine.tone.cabinetEnabled());
    const bool normalize = readBool(request, "normalize", engine.tone.cabinetNormalize());
    if (hasField(request, "path")) {
        if (path.empty()) {
            engine.tone.unloadCabinet();
        } else {
            CabinetReport report;
            std::string error;
            if (!engine.tone.loadCabinet(path, normalize, report, error)) {
                fail(reply, error);
                return;
            }
            reply["sampleRate"] = report.sampleRate;
            reply["seconds"] = report.seconds;
            reply["channels"] = report.channels;
        }
    } else {
        engine.tone.setCabinetNormalize(normalize);
    }
    engine.tone.setCabinetEnabled(enabled);
    cabinetToJson(reply);
}

// Renders a DI file through the tone as it is set now; `cancel` stops a render.
void cmdReamp(const json& request, json& reply) {
    const bool cancel = readBool(request, "cancel", false);
    const std::string diPath = readString(request, "diPath", "");
    const std::string wetPath = readString(request, "wetPath", "");
    const uint32_t channel = readUint32(request, "channel", 0);
    if (cancel) {
        if (!engine.reamp.cancel()) fail(reply, "no render is running");
        return;
    }
    ReampTone tone;
    tone.tone = &engine.tone;
    {
        std::lock_guard<std::mutex> lock(engine.settingsMutex);
        tone.settings = engine.pendingSettings;
    }
    tone.ampEnabled = engine.ampEnabled.load();
    std::string error;
    if (engine.pluginEnabled.load() && engine.plugin.isReady()) {
        tone.plugin = &engine.plugin;
        if (!engine.plugin.getState(tone.pluginState, error)) {
            fail(reply, error);
            return;
        }
    }
    uint64_t frames = 0;
    double seconds = 0.0;
    if (!engine.reamp.start(diPath, wetPath, channel, tone, frames, seconds, error)) {
        fail(reply, error);
        return;
    }
    reply["frames"] = frames;
    reply["seconds"] = seconds;
}

void cmdMetronome(const json& request, json&) {
    const float bpm = readFloat(request, "bpm", 120.0f);
    const bool enabled = readBool(request, "enabled", false);
    engine.setMetronome(enabled, bpm);
}

void cmdTone(const json& request, json&) {
    const float level = readFloat(request, "level", 0.15f);
    const float frequency = readFloat(request, "frequency", 440.0f);
    const bool enabled = readBool(request, "enabled", true);
    engine.setTestTone(enabled, frequency, level);
}

void cmdTuner(const json& request, json&) {
    const bool enabled = readBool(request, "enabled", true);
    const float reference = readFloat(request, "reference", 440.0f);
    const bool mute = readBool(request, "mute", false);
    engine.setTuner(enabled, reference, mute);
}

void cmdRecord(const json& request, json& reply) {
    const std::string diPath = readString(request, "diPath", "");
    const std::string wetPath = readString(request, "wetPath", "");
    std::string error;
    if (!engine.startRecording(diPath, wetPath, error)) fail(reply, error);
}

void cmdStop(const json&, json& reply) {
    RecordingResult result;
    std::string error;
    const bool ok = engine.stopRecording(result, error);
    reply["ok"] = ok;
    reply["frames"] = result.frames;
    reply["seconds"] = result.seconds;
    reply["diPath"] = result.diPath;
    reply["wetPath"] = result.wetPath;
    if (!ok) reply["error"] = error;
}

void cmdStatus(const json&, json& reply) {
    reply["open"] = engine.streamOpen.load();
    reply["recording"] = engine.recording.load();
    reply["frames"] = engine.framesRecorded.load();
    const StreamInfo info = engine.streamInfo();
    reply["sampleRate"] = info.sampleRate;
    reply["blockSize"] = info.blockSize;
    reply["tuner"] = engine.tunerEnabled.load();
    reply["capturePath"] = engine.tone.capturePath();
    reply["cabinetPath"] = engine.tone.cabinetPath();
    reply["captureLatencyMs"] = engine.tone.latencyMs();
}

void cmdPing(const json&, json& reply) { reply["pong"] = true; }

void cmdQuit(const json&, json&) { running.store(false); }

struct Command {
    const char* name;
    void (*run)(const json&, json&);
};

// Compared in this order; the first exact match wins.
const Command commands[] = {
    {"listDevices", cmdListDevices}, {"open", cmdOpen},       {"close", cmdClose},
    {"amp", cmdAmp},                 {"monitor", cmdMonitor}, {"inputChannel", cmdInputChannel},
    {"vstLoad", cmdVstLoad},         {"vstUnload", cmdVstUnload}, {"vstEnable", cmdVstEnable},
    {"vstEditor", cmdVstEditor},     {"vstStatus", cmdVstStatus}, {"vstParams", cmdVstParams},
    {"vstSetParam", cmdVstSetParam}, {"vstGetState", cmdVstGetState}, {"vstSetState", cmdVstSetState},
    {"capture", cmdCapture},         {"cabinet", cmdCabinet},     {"reamp", cmdReamp},
    {"metronome", cmdMetronome},     {"tone", cmdTone},       {"tuner", cmdTuner},
    {"record", cmdRecord},           {"stop", cmdStop},       {"status", cmdStatus},
    {"ping", cmdPing},               {"quit", cmdQuit},
};

} // namespace

void dispatchCommand(const std::string& name, const json& request, json& reply) {
    for (const auto& c : commands) {
        if (name == c.name) {
            c.run(request, reply);
            return;
        }
    }
    fail(reply, "unknown command: " + name);
}

} // namespace corvena
