#include "sim/board/summary.h"

#include "sim/machine/names.h"
#include "sim/board/sb_config_fields.h"

namespace sim {

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
    json smbus = json::array();
    for (const SmbusResult &t : r.smbus) {
      smbus.push_back({{"instance", t.request.instance},
                       {"address", t.request.address},
                       {"command", t.request.command},
                       {"operation", smbus_operation_name(t.request.operation)},
                       {"status", status_name(t.status)},
                       {"length", t.length},
                       {"data", t.data}});
    }
    p["smbus"] = smbus;
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
  out["accesses"] = machine.trace().size();
  out["virtual_ns"] = machine.now_ns();
  return out;
}

}  // namespace sim
