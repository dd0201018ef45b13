#include "platform/web/web_plugin.hpp"

#include <dlfcn.h>

#include <filesystem>

namespace quillon {

std::string web_plugin_path(const std::string& program_dir) {
    return (std::filesystem::path(program_dir) / "../lib/quillon/quillon-web.so")
        .lexically_normal()
        .string();
}

// The plugin stays loaded once it is: Qt may still hold its objects' events.
WebPlugin::~WebPlugin() = default;

OutletStart WebPlugin::open(const OutletOpening& opening) {
    if (!outlet_) {
        void* plugin = ::dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
        const auto make =
            plugin != nullptr
                ? reinterpret_cast<Outlet* (*)(WebParts*)>(::dlsym(plugin, web_plugin_entry))
                : nullptr;
        if (make == nullptr) {
            const char* error = ::dlerror();
            std::string reason = error != nullptr ? error : "no entry";
            // The system names the file first; it is named here already.
            if (reason.rfind(path_ + ": ", 0) == 0) reason.erase(0, path_.size() + 2);
            return {false, "its plugin " + path_ + " can't be loaded: " + reason};
        }
        outlet_.reset(make(&parts_));
    }
    return outlet_->open(opening);
}

void WebPlugin::close() {
    if (outlet_) outlet_->close();
    views_.stop_watching();
}

void WebPlugin::set_key(const std::string& key) {
    if (outlet_) outlet_->set_key(key);
}

void WebPlugin::reply(std::int32_t request, const OutletReply& reply) {
    if (outlet_) outlet_->reply(request, reply);
}

}  // namespace quillon
