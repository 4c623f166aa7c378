// A fresh copy of the simulator's embedded default machine per test, and scenarios run on it step
// by step with one simulator, so that a test can look at the machine between scenarios.
#ifndef TESTS_TOOL_DEVSIM_FIXTURE_H
#define TESTS_TOOL_DEVSIM_FIXTURE_H

#include <sstream>
#include <string>

#include "machine.h"
#include "scenario.h"
#include "sim_fixture.h"
#include "simulator.h"

class DevsimTest : public SimTest {
 protected:
  static constexpr const char *kMachine = "HKEY_LOCAL_MACHINE\\";
  static constexpr const char *kMakerClass = "{6D2A8F41-0C5B-4E7A-9B33-52E1F0A4C7D8}";
  static constexpr const char *kPackage = "C:\\Drivers\\ORVIK\\onlisdn.inf";
  static constexpr const char *kCardId = "PCI\\VEN_1A2B&DEV_0100\\4&1F2E3D4C&0&40";
  static constexpr const char *kBoxId = "ROOT\\ORVIK\\0000";
  static constexpr const char *kCardLine =
      "add card hwid=PCI\\VEN_1A2B&DEV_0100 id=PCI\\VEN_1A2B&DEV_0100\\4&1F2E3D4C&0&40\n";
  static constexpr const char *kBoxLine = "add box hwid=ORVIK\\EXT_LPT id=ROOT\\ORVIK\\0000\n";

  void SetUp() override {
    SimTest::SetUp();
    devsim::WriteEmbeddedFiles();
    devsim::ApplyRegText(devsim::EmbeddedRegistry(), devsim::kEmbeddedMachineName);
  }

  // Runs scenario text; returns the report of these steps.
  std::string Run(const std::string &text) {
    std::ostringstream out;
    devsim::Simulator simulator(out, devsim::DispatchOptions{});
    simulator.Run(devsim::ParseScenario("drivers " + std::string(kPackage) + "\n" + text, "test.scn"));
    return out.str();
  }

  static std::string Key(const std::string &path) { return kMachine + path; }

  // The device CAPI key of an installed device ("" when it has no software key).
  static std::string CapiKey(const std::string &instanceId) {
    std::string driverKey = winsim::DriverKeyPath(instanceId);
    return driverKey.empty() ? "" : driverKey + "\\VendorSpecific\\CAPI";
  }
};

#endif  // TESTS_TOOL_DEVSIM_FIXTURE_H
