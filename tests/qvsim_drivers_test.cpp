// The simulator's personas against the library's own built-in driver scripts: running every
// driver's detection lines in order, as initialisation does, finds each model's own driver.
// (The simulator itself shares no code with the library; only this check brings them together.)
#include <gtest/gtest.h>

#include <map>

#include "qvatdriver.h"
#include "qvmodeldrivers.h"
#include "qvresource.h"
#include "qvsim.h"
#include "qvsim_host.h"

namespace {

std::string Narrow(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) out += static_cast<char>(c);
  return out;
}

struct LoadedDriver {
  std::string caption;
  std::unique_ptr<TqvCustomATDriver> driver;
  std::vector<std::pair<std::string, int>> detection;  // command line and its order
};

std::vector<LoadedDriver> LoadModelDrivers() {
  std::vector<LoadedDriver> all;
  for (const auto& model : qv::kModelDrivers) {
    LoadedDriver d{Narrow(model.Caption), std::make_unique<TqvCustomATDriver>(), {}};
    const auto script = qv::FindEmbeddedResource(model.Script);
    EXPECT_TRUE(script.has_value()) << model.Script;
    if (!script) continue;
    EXPECT_TRUE(d.driver->LoadFromString(*script)) << model.Script;
    // the order the processor gives a driver it adds, then the detection's expected reply
    d.driver->MoveResponses(qv::resp::kOk, 3);
    d.driver->MoveResponses(qv::resp::kRinging, 0);
    d.driver->MoveResponses(qv::resp::kModelId, 1);
    for (const auto& entry : d.driver->slCommands) {
      if (entry.Object->fName == u"gsmDetect") {
        d.detection.emplace_back(Narrow(TqvCustomATDriver::ReplaceStr(entry.Object->fCommand)), entry.Object->idOrder);
      }
    }
    all.push_back(std::move(d));
  }
  return all;
}

// True when the reply's first completed response is a detection reply of that order.
bool Judge(TqvCustomATDriver& driver, const std::string& reply, int order) {
  driver.ResponsesResetState();
  for (char c : reply) {
    const int32_t i = driver.IsResponse(static_cast<uint8_t>(c));
    if (i >= 0) {
      const TCommEventNew* r = driver.GetResponse(i);
      return r->Tag == qv::resp::kModelId && r->iOrder == order;
    }
  }
  return false;
}

TEST(QvSimDrivers, AutodetectionWithTheBuiltInScriptsFindsEachPersona) {
  std::vector<LoadedDriver> drivers = LoadModelDrivers();
  ASSERT_EQ(drivers.size(), qv::kModelDrivers.size());
  for (const qvsim::Persona& persona : qvsim::Personas()) {
    SCOPED_TRACE(persona.id);
    qvsim::Simulator sim(persona);
    qvsimtest::Host host(sim.DevicePath());
    std::map<std::string, std::string> cache;  // each line text is sent once
    std::string found = "none";
    for (LoadedDriver& d : drivers) {
      bool all = !d.detection.empty();
      for (const auto& [line, order] : d.detection) {
        auto it = cache.find(line);
        if (it == cache.end()) {
          host.Send(line);
          it = cache.emplace(line, host.ReadReply()).first;
        }
        all = all && Judge(*d.driver, it->second, order);
      }
      if (all) {
        found = d.caption;
        break;
      }
    }
    EXPECT_EQ(found, persona.caption);
  }
}

}  // namespace
