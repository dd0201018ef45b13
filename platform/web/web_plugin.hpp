#pragma once

#include <memory>
#include <string>

#include "clients/outlet.hpp"
#include "platform/web/web_outlet.hpp"
#include "ui/view_fan_out.hpp"

namespace quillon {

// The plugin that holds the web monitor, its page and its protocols, beside
// the program: PROGRAM_DIR/../lib/quillon/quillon-web.so.
std::string web_plugin_path(const std::string& program_dir);

// The name of the plugin's one entry: it makes a WebOutlet on the parts given
// (a WebParts*), to be deleted as an Outlet.
inline constexpr const char* web_plugin_entry = "quillon_make_web_outlet";

// The web monitor as the program holds it: its code is loaded at the first
// opening, so that a gateway without WebPort never loads it. When it is
// closed (or never opened), the browsers' view stops being kept.
class WebPlugin : public Outlet {
  public:
    WebPlugin(WebParts parts, ViewFanOut& views, std::string path)
        : parts_(std::move(parts)), views_(views), path_(std::move(path)) {}
    ~WebPlugin() override;

    OutletStart open(const OutletOpening& opening) override;
    void close() override;
    void set_key(const std::string& key) override;
    void reply(std::int32_t request, const OutletReply& reply) override;

  private:
    WebParts parts_;
    ViewFanOut& views_;
    std::string path_;
    std::unique_ptr<Outlet> outlet_;
};

}  // namespace quillon
