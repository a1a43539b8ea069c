// SPDX-License-Identifier: MIT
#include "PortCapture_p.h"

#include <cerrno>
#include <map>
#include <mutex>
#include <string>

#include "AppendFile_p.h"
#include "CaptureFormat_p.h"
#include "KqLog_p.h"
#include "PortExtras_p.h"
#include "SerBase_p.h"
#include "SysFile_p.h"

namespace kq {

namespace {

// The open capture files by path, so that ports naming one file share its
// descriptor, its size and its count of dropped records. Never destroyed:
// ports may be destroyed while the process exits.
struct Files {
    std::mutex lock;
    std::map<std::string, std::weak_ptr<AppendFile>> byPath;
};

Files& TheFiles() {
    static Files* const files = new Files();
    return *files;
}

std::shared_ptr<AppendFile> SharedFile(const CaptureOptions& options) {
    Files& files = TheFiles();
    std::lock_guard<std::mutex> hold(files.lock);
    std::weak_ptr<AppendFile>& slot = files.byPath[options.file];
    std::shared_ptr<AppendFile> file = slot.lock();
    if (file == nullptr) {
        file = std::make_shared<AppendFile>(options.file, options.maxKib * 1024LL,
                                            std::string(kCaptureHeader) + "\n");
        slot = file;
    }
    for (auto it = files.byPath.begin(); it != files.byPath.end();) {
        it = it->second.expired() ? files.byPath.erase(it) : std::next(it);
    }
    return file;
}

}  // namespace

void CaptureTraffic(CSerBase* port, bool tx, const unsigned char* buf, int count) {
    const PortExtras* extras = FindExtras(port);
    if (extras == nullptr || extras->capture == nullptr) {
        return;
    }
    const int saved = errno;
    const timespec now = sys::Now();
    const uint32_t type = static_cast<uint32_t>(port->GetType());
    const char* note = port->GetNote();
    (void)extras->capture->Append(
        [&](unsigned long long dropped) {
            std::string text = dropped > 0 ? DroppedRecordsComment(dropped) : std::string();
            text += FormatCaptureLine(now.tv_sec, static_cast<int>(now.tv_nsec / 1000), tx, type,
                                      count, buf, note);
            text += '\n';
            return text;
        },
        now.tv_sec);
    errno = saved;
}

void UseCapture(PortExtras* extras, const CaptureOptions& options) {
    if (options.file.empty()) {
        extras->capture.reset();
        return;
    }
    if (extras->capture == nullptr || extras->capture->path() != options.file) {
        // A link or another user's file planted at the path: no capture.
        const std::string refusal = PathRefusal(options.file);
        if (!refusal.empty()) {
            extras->capture.reset();
            KQ_LOG("capture %s: %s; no capture\n", options.file.c_str(), refusal.c_str());
            return;
        }
        extras->capture = SharedFile(options);
    }
}

}  // namespace kq
