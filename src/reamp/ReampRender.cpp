#include "reamp/ReampRender.h"
#include "record/FilePath.h"

#include <algorithm>
#include <vector>

namespace corvena {

namespace {
// Frames per step: large enough that per-block overheads vanish, small enough
// that a cancel is noticed at once.
constexpr int32_t renderBlock = 2048;
} // namespace

ReampRender::~ReampRender() { finish(); }

bool ReampRender::start(const std::string& diPath, const std::string& wetPath, uint32_t channel,
                        const ReampTone& tone, uint64_t& frames, double& seconds, std::string& error) {
    if (running()) {
        error = "a render is already running";
        return false;
    }
    if (diPath.empty()) {
        error = "a DI path is required";
        return false;
    }
    if (wetPath.empty()) {
        error = "a wet path is required";
        return false;
    }
    if (filepath::isDirectory(wetPath)) {
        error = "could not open " + wetPath + " for writing";
        return false;
    }
    if (filepath::sameFile(diPath, wetPath)) {
        error = "the DI and wet paths name the same file";
        return false;
    }
    if (!reader_.open(diPath, error)) return false;
    if (reader_.frames() == 0) {
        reset();
        error = "the DI file is empty";
        return false;
    }
    if (channel >= reader_.channels()) {
        error = "the DI file has " + std::to_string(reader_.channels()) + " channel" +
                (reader_.channels() == 1 ? "" : "s") + "; there is no channel " + std::to_string(channel);
        reset();
        return false;
    }
    total_ = reader_.frames();
    rate_ = reader_.sampleRate();
    channel_ = channel;
    wetPath_ = wetPath;
    partPath_ = wetPath + ".part";

    const int32_t rate = static_cast<int32_t>(rate_);
    if (tone.plugin != nullptr) {
        plugin_ = std::make_unique<PluginSlot>();
        plugin_->setOffline(true);
        plugin_->prepare(rate_, renderBlock);
        std::string why;
        if (!plugin_->loadInstanceOf(*tone.plugin, why)) {
            error = "the plugin cannot render offline: " + why;
            reset();
            return false;
        }
        if (!tone.pluginState.empty() && !plugin_->setState(tone.pluginState, why)) {
            error = "the plugin did not take its state for the render: " + why;
            reset();
            return false;
        }
    } else {
        tone_.copyToneOf(*tone.tone);
        tone_.applySettings(tone.settings);
        tone_.prepare(rate_, renderBlock);
        ampEnabled_ = tone.ampEnabled;
    }
    limiter_.prepare(rate_);

    if (!writer_.open(partPath_, rate, 1)) {
        error = "could not open " + wetPath + " for writing";
        reset();
        return false;
    }
    frames = total_;
    seconds = static_cast<double>(total_) / rate_;
    cancel_.store(false);
    done_.store(0);
    state_.store(Running);
    lastShown_ = -1.0;
    lastProgress_ = std::chrono::steady_clock::now();
    try {
        worker_ = std::thread(&ReampRender::run, this);
    } catch (const std::system_error&) {
        writer_.finalize();
        filepath::remove(partPath_);
        reset();
        error = "could not start the render";
        return false;
    }
    return true;
}

void ReampRender::run() {
    std::vector<float> in(renderBlock), left(renderBlock), right(renderBlock);
    const auto began = std::chrono::steady_clock::now();
    std::string failure;
    while (!cancel_.load()) {
        const int32_t n = static_cast<int32_t>(reader_.read(channel_, in.data(), renderBlock));
        if (n <= 0) {
            if (reader_.failed()) failure = "the DI file could not be read to its end";
            break;
        }
        if (plugin_) {
            if (!plugin_->process(in.data(), left.data(), right.data(), n)) {
                failure = "the plugin stopped processing";
                break;
            }
            for (int32_t i = 0; i < n; ++i) in[i] = (left[i] + right[i]) * 0.5f;
        } else if (ampEnabled_) {
            tone_.process(in.data(), n);
        }
        limiter_.process(in.data(), n);
        if (!writer_.writeSamples(in.data(), n)) {
            failure = "could not write " + wetPath_ + " (is the disk full?)";
            break;
        }
        done_.fetch_add(static_cast<uint64_t>(n));
    }
    const bool finalized = writer_.finalize();
    if (failure.empty() && !cancel_.load() && !finalized) failure = "could not write " + wetPath_ + " (is the disk full?)";
    if (failure.empty() && !cancel_.load() && !filepath::replace(partPath_, wetPath_))
        failure = "could not rename the render to " + wetPath_;

    if (cancel_.load() || !failure.empty()) {
        filepath::remove(partPath_);
        error_ = failure;
        state_.store(failure.empty() ? Cancelled : Failed);
        return;
    }
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    realtimeFactor_ = took > 0 ? static_cast<double>(done_.load()) / rate_ / took : 0.0;
    state_.store(Done);
}

bool ReampRender::cancel() {
    if (!running() || state_.load() != Running) return false;
    cancel_.store(true);
    return true;
}

std::optional<ReampReport> ReampRender::poll(std::chrono::milliseconds interval) {
    if (!running()) return std::nullopt;
    ReampReport report;
    const int state = state_.load();
    if (state == Running) {
        const auto now = std::chrono::steady_clock::now();
        if (now - lastProgress_ < interval) return std::nullopt;
        report.progress = static_cast<double>(done_.load()) / static_cast<double>(total_);
        if (report.progress == lastShown_) return std::nullopt;
        lastProgress_ = now;
        lastShown_ = report.progress;
        return report;
    }
    worker_.join();
    report.kind = state == Done ? ReampReport::Kind::Done
                  : state == Failed ? ReampReport::Kind::Error
                                    : ReampReport::Kind::Cancelled;
    report.frames = done_.load();
    report.seconds = static_cast<double>(report.frames) / rate_;
    report.realtimeFactor = realtimeFactor_;
    report.wetPath = wetPath_;
    report.error = error_;
    reset();
    return report;
}

void ReampRender::finish() {
    if (!running()) return;
    cancel_.store(true);
    worker_.join();
    reset();
}

// Back to idle: the plug-in instance and the input go (on the control thread).
void ReampRender::reset() {
    plugin_.reset();
    reader_.close();
    error_.clear();
}

} // namespace corvena
