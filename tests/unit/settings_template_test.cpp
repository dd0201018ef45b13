// The settings file that the Debian package installs as /etc/quillon/Quillon.ini,
// read as the gateway reads it.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "core/settings.hpp"

namespace quillon {
namespace {

std::string template_bytes() {
    std::ifstream in(QUILLON_SETTINGS_TEMPLATE, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The file with each example line (";   Key = value") turned on, as an
// administrator would by deleting its ";".
std::string with_examples_on(const std::string& text) {
    std::istringstream in(text);
    std::string out;
    std::string line;
    while (std::getline(in, line)) {
        if (line.starts_with(";   ")) line.erase(0, 4);
        out += line + "\n";
    }
    return out;
}

TEST(SettingsTemplate,
     AsInstalledFindsTheModuleBySelfOnPort8080WithNoSecureAccessAndSetsTheClocks) {
    const std::string bytes = template_bytes();
    ASSERT_FALSE(bytes.empty()) << QUILLON_SETTINGS_TEMPLATE;
    const Settings s = read_settings(bytes);
    EXPECT_EQ(s.serial_settings, "auto");
    EXPECT_EQ(s.tcp_port, 8080);
    EXPECT_FALSE(s.rs_module());
    EXPECT_EQ(s.auth_key, "");
    EXPECT_EQ(s.tls_port, 0);
    EXPECT_EQ(s.tls_certificate, "");
    EXPECT_EQ(s.tls_private_key, "");
    EXPECT_TRUE(s.listen.empty());
    EXPECT_EQ(s.web_port, 0);
    EXPECT_TRUE(s.clock_sync);
}

TEST(SettingsTemplate, EveryExampleTurnedOnIsRead) {
    const Settings s = read_settings(with_examples_on(template_bytes()));
    EXPECT_EQ(s.serial.baud, 38400);
    EXPECT_TRUE(s.rs_module());
    EXPECT_FALSE(s.auth_key.empty());
    EXPECT_EQ(s.tls_port, 27015);
    EXPECT_FALSE(s.tls_certificate.empty());
    EXPECT_FALSE(s.tls_private_key.empty());
    EXPECT_EQ(s.listen, std::vector<std::string>{"127.0.0.1"});
    EXPECT_EQ(s.web_port, 8088);
}

}  // namespace
}  // namespace quillon
