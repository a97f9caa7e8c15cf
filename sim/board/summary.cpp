#include "sim/board/summary.h"

#include "sim/machine/names.h"
#include "sim/board/sb_config_fields.h"

namespace sim {
namespace {

nlohmann::ordered_json smbus_json(const std::vector<SmbusResult> &results) {
  nlohmann::ordered_json smbus = nlohmann::ordered_json::array();
  for (const SmbusResult &t : results) {
    smbus.push_back({{"instance", t.request.instance},
                     {"address", t.request.address},
                     {"command", t.request.command},
                     {"operation", smbus_operation_name(t.request.operation)},
                     {"status", status_name(t.status)},
                     {"length", t.length},
                     {"data", t.data}});
  }
  return smbus;
}

}  // namespace

nlohmann::ordered_json memory_finding_json(const MemoryFinding &f) {
  return {{"kind", kind_name(f.kind)}, {"module", f.module},     {"access", f.write ? "write" : "read"},
          {"address", f.address},      {"size", f.size},         {"region", f.region},
          {"pc", f.pc},                {"at", f.at},             {"trace_index", f.trace_index},
          {"count", f.count}};
}

nlohmann::ordered_json memory_findings_json(const std::vector<MemoryFinding> &findings) {
  nlohmann::ordered_json all = nlohmann::ordered_json::array();
  for (const MemoryFinding &f : findings) all.push_back(memory_finding_json(f));
  return all;
}

nlohmann::ordered_json summary_json(const Board &board, const std::vector<PeiBootResult> &passes,
                                    const std::optional<DxeResult> &dxe, const Machine &machine) {
  using json = nlohmann::ordered_json;
  json out;
  out["board"] = board.name;
  json jpasses = json::array();
  for (const PeiBootResult &r : passes) {
    json p;
    p["status"] = r.reset ? json(nullptr) : json(status_name(r.status));
    p["reset"] = r.reset ? json{{"value", r.reset->value}, {"t_ns", r.reset->t_ns}} : json(nullptr);
    p["boot_mode"] = boot_mode_name(r.boot_mode);
    json ppis = json::array();
    for (const InstalledPpi &i : r.ppis) ppis.push_back({{"name", i.name}, {"by", i.by}});
    p["ppis"] = ppis;
    if (r.config) {
      json cfg;
      for (const ConfigField &f : sb_config_fields()) cfg[std::string(f.name)] = read_field(*r.config, f);
      p["config"] = cfg;
    }
    p["smbus"] = smbus_json(r.smbus);
    p["accesses"] = r.accesses;
    p["start_ns"] = r.start_ns;
    p["end_ns"] = r.end_ns;
    p["unexpected_calls"] = r.unexpected_calls;
    jpasses.push_back(p);
  }
  out["pei_passes"] = jpasses;
  if (dxe) {
    json d;
    d["entry_status"] = status_name(dxe->entry_status);
    d["screen"] = dxe->screen;
    json beeps = json::array();
    for (const Tone &t : dxe->beeps) beeps.push_back({{"hz", t.hz}, {"start_ns", t.start_ns}, {"end_ns", t.end_ns}});
    d["beeps"] = beeps;
    d["post_codes"] = dxe->post_codes;
    d["cmos_46"] = dxe->cmos_46;
    d["enter_setup_request"] = dxe->enter_setup ? json(*dxe->enter_setup) : json(nullptr);
    d["stopped"] = dxe->stopped ? json(*dxe->stopped) : json(nullptr);
    d["pool_leaks"] = dxe->pool_leaks;
    d["pool_errors"] = dxe->pool_errors;
    out["dxe"] = d;
  }
  out["memory_findings"] = memory_findings_json(machine.memory().findings());
  out["accesses"] = machine.trace().size();
  out["virtual_ns"] = machine.now_ns();
  return out;
}

nlohmann::ordered_json volume_summary_json(const Board &board, const VolumeBoot &boot, const Machine &machine) {
  using json = nlohmann::ordered_json;
  std::vector<PeiBootResult> passes;
  for (const VolumePass &p : boot.passes) passes.push_back(p.pei);
  json out = summary_json(board, passes, boot.dxe, machine);
  json volume;
  volume["file"] = boot.volume;
  json jpasses = json::array();
  for (const VolumePass &p : boot.passes) {
    const VolumePassResult &v = p.volume;
    json j;
    j["pei_core"] = v.pei_core_load;
    json dispatched = json::array();
    for (const DispatchedModule &d : v.dispatched) {
      json jd;
      jd["module"] = d.name;
      jd["start_ns"] = d.start_ns;
      jd["end_ns"] = d.end_ns;
      jd["status"] = d.status ? json(status_name(*d.status)) : json(nullptr);
      dispatched.push_back(jd);
    }
    j["dispatched"] = dispatched;
    j["not_dispatched"] = v.not_dispatched;
    json ppis = json::array();
    for (const InstalledPpiRecord &i : v.ppis)
      ppis.push_back({{"name", i.ppi}, {"by", i.by}, {"descriptor", i.descriptor}, {"interface", i.interface}});
    j["ppis"] = ppis;
    j["platform_hook"] = v.hook_source;
    j["reached_dxe_ipl"] = v.reached_dxe_ipl;
    j["hob_list"] = v.hob_list;
    j["stopped"] = v.stopped ? json(*v.stopped) : json(nullptr);
    j["simulator_error"] = v.simulator_error ? json(*v.simulator_error) : json(nullptr);
    j["permanent_memory"] = v.permanent_memory ? json{{"base", v.permanent_memory->first}, {"length", v.permanent_memory->second}}
                                               : json(nullptr);
    json migration = json::array();
    for (const PointerMove &m : v.migration)
      migration.push_back({{"what", m.what}, {"before", m.before}, {"after", m.after},
                           {"in_temporary_ram", m.left_in_temporary_ram()}});
    j["migration"] = migration;
    j["smbus_after_memory"] = smbus_json(p.smbus_after_memory);
    j["after_memory_ppis_by"] = {{"smbus", p.smbus_by}, {"private", p.sleep_boot_mode_by}, {"stall", p.stall_by}};
    j["sleep_boot_mode_after_memory"] =
        p.sleep_boot_mode_after_memory ? json(boot_mode_name(*p.sleep_boot_mode_after_memory)) : json(nullptr);
    j["stall_after_memory"] = p.stall_after_memory ? json{{"us", p.stall_after_memory_us},
                                                          {"status", status_name(*p.stall_after_memory)},
                                                          {"took_ns", p.stall_after_memory_took_ns}}
                                                   : json(nullptr);
    j["instructions"] = v.instructions;
    j["log"] = p.log;
    jpasses.push_back(j);
  }
  volume["passes"] = jpasses;
  volume["unclaimed"] = boot.unclaimed;
  volume["findings"] = boot.findings;
  out["volume"] = volume;
  return out;
}

}  // namespace sim
