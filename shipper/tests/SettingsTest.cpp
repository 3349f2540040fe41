// The collector's address as a setting gives it, and the backoff's bounds.

#include "Shipper.h"
#include "ShipperService.h"

#include <gtest/gtest.h>
#include <map>
#include <string>

using namespace Vardel::Shipper;

TEST(Settings, CollectorIsHostAndPort)
{
    const struct {
        std::string text;
        bool ok;
        std::string host, port;
    } cases[] = {
        {"127.0.0.1:20514", true, "127.0.0.1", "20514"},
        {"collector.site.example:1", true, "collector.site.example", "1"},
        {"[::1]:65535", true, "::1", "65535"},
        {"127.0.0.1", false, "", ""},
        {"127.0.0.1:", false, "", ""},
        {":514", false, "", ""},
        {"host:65536", false, "", ""},
        {"host:0", false, "", ""},
        {"host:0514", false, "", ""},
        {"host:51x", false, "", ""},
        {"::1:514", false, "", ""},
        {"[]:514", false, "", ""},
    };
    for (const auto& c : cases) {
        std::string host = "unset", port = "unset";
        EXPECT_EQ(c.ok, SplitCollector(c.text, host, port)) << c.text;
        if (c.ok) {
            EXPECT_EQ(c.host, host) << c.text;
            EXPECT_EQ(c.port, port) << c.text;
        }
    }
}

TEST(Settings, BackoffDoublesFromOneSecondToAMinuteWithJitter)
{
    // attempt, the least and the most it may wait
    const struct {
        unsigned attempt;
        DWORD least, most;
    } cases[] = {
        {1, 1000, 1250}, {2, 2000, 2500}, {3, 4000, 5000}, {6, 32000, 40000}, {7, 60000, 60000}, {50, 60000, 60000},
    };
    for (const auto& c : cases) {
        for (unsigned random : {0u, 1u, 250u, 251u, 0xffffffffu, 12345678u}) {
            const DWORD wait = BackoffMs(c.attempt, random);
            EXPECT_LE(c.least, wait) << "attempt " << c.attempt << ", random " << random;
            EXPECT_GE(c.most, wait) << "attempt " << c.attempt << ", random " << random;
        }
    }
    EXPECT_EQ(1250u, BackoffMs(1, 250));
}

TEST(Settings, TheServiceTakesItsSettingsFromTheRegistryValues)
{
    using Values = std::map<std::string, std::string>;
    const struct {
        Values values;
        bool ok;
        std::string why; // a part of the reason when refused
    } cases[] = {
        {{{"ShipperCollector", "10.0.0.5:20514"}, {"ShipperPlain", "1"}}, true, ""},
        {{{"ShipperCollector", "10.0.0.5:20514"}, {"ShipperPlain", "1"}, {"ShipperHost", "PC-9"}}, true, ""},
        {{{"ShipperPlain", "1"}}, false, "ShipperCollector is \"\", not HOST:PORT"},
        {{{"ShipperCollector", "10.0.0.5"}, {"ShipperPlain", "1"}}, false, "not HOST:PORT"},
        {{{"ShipperCollector", "10.0.0.5:20514"}}, false, "needs ShipperCA"},
        {{{"ShipperCollector", "10.0.0.5:20514"}, {"ShipperPlain", "0"}, {"ShipperCA", "C:\\ca.pem"}}, false,
         "ShipperCertificate (this PC's PKCS#12 file)"},
        {{{"ShipperCollector", "10.0.0.5:20514"}, {"ShipperCA", "C:\\ca.pem"}, {"ShipperCertificate", "C:\\pc.pfx"}},
         true, ""},
    };
    for (const auto& c : cases) {
        CSettings settings;
        std::string why;
        const auto read = [&c](const char* name) {
            const auto it = c.values.find(name);
            return it == c.values.end() ? std::string() : it->second;
        };
        EXPECT_EQ(c.ok, ServiceSettings(read, settings, why)) << why;
        EXPECT_NE(std::string::npos, why.find(c.why)) << why;
        if (!c.ok)
            continue;
        EXPECT_EQ("10.0.0.5", settings.collectorHost);
        EXPECT_EQ("20514", settings.collectorPort);
        EXPECT_EQ(read("ShipperHost"), settings.host);
        EXPECT_EQ(read("ShipperPlain") == "1", settings.plain);
        EXPECT_EQ(read("ShipperCA"), settings.caPath);
        EXPECT_EQ(read("ShipperCertificate"), settings.certPath);
        EXPECT_EQ("C:\\Korvane\\VardelLogs", settings.folder);
        EXPECT_EQ("C:\\Korvane\\VardelLogs\\VardelShipper.places", settings.statePath);
    }
}
