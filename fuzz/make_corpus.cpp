// Writes the seed corpora of the two fuzz targets into a folder: requests as the client builds
// them for the commands the tests send (types 0, 1 and 8, every kind of server, over both
// transports, honest and keyed with a wrong number), and the simulator's answers to each, tagged
// with the packet description the response target reads them against. Deterministic: the same files each run.
//   fuzz_corpus OUT_DIR   -> OUT_DIR/sim_request/*, OUT_DIR/response_parse/*
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "command_registry.h"
#include "exchange.h"
#include "fuzz_fixtures.h"
#include "runtime/log.h"

namespace {

bool write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_corpus OUT_DIR\n");
    return 2;
  }
  log_set_min_level(LOG_ERROR + 1);
  std::string out = argv[1];
  std::string req_dir = out + "/sim_request", resp_dir = out + "/response_parse";
  mkdir(out.c_str(), 0755);
  mkdir(req_dir.c_str(), 0755);
  mkdir(resp_dir.c_str(), 0755);

  CoinTable table;
  fuzzfix::fill_table(&table);
  SimCounters counters(kSimServers);
  CommandRegistry registry;
  register_all_commands(&registry);
  Exchange exchange(&table, &counters, &registry);

  struct Command {
    uint8_t group, command;
    std::vector<uint8_t> payload;
  };
  const Command commands[] = {{0, 0, {}}, {0, 1, {}}, {0, 3, {}}, {0, 2, {}}, {1, 10, {1, 2, 3, 4, 5, 6, 7, 8}}};
  const uint8_t servers[] = {0, 7, 24};
  int written = 0;
  for (int which = 1; which <= 3; ++which) {
    for (uint8_t server : servers) {
      for (const Command& c : commands) {
        for (int variant = 0; variant < 3; ++variant) {
          // variant 0: TCP; 1: UDP (split id bit 0); 2: keyed with another server's numbers.
          PacketSpec spec;
          fuzzfix::make_spec(which, server, c.group, c.command, &spec);
          if (variant == 1) spec.split_id = 1;
          if (variant == 2 && which == 1) continue;
          if (variant == 2) {
            uint8_t other = uint8_t((server + 1) % kSimServers);
            spec.key.key_a_secret = fuzzfix::number(other, fuzzfix::kKeyASerial);
            if (which == 3) spec.key.key_b_secret = fuzzfix::number(other, fuzzfix::kKeyBSerial);
          }
          if (!c.payload.empty()) packet_spec_set_payload(&spec, c.payload.data(), c.payload.size());
          Secret request;
          if (packet_build(&spec, &request) != RC_OK) {
            std::fprintf(stderr, "cannot build seed %d/%u/%u\n", which, server, c.command);
            return 1;
          }
          std::vector<uint8_t> req(request.data(), request.data() + request.size());
          std::string name = std::to_string(which) + "_" + std::to_string(server) + "_" + std::to_string(c.group) +
                             "_" + std::to_string(c.command) + "_" + std::to_string(variant);
          ExchangeOutcome answer = exchange.handle(server, variant == 1 ? SimTransport::kUdp : SimTransport::kTcp,
                                                   req.data(), req.size());
          std::vector<uint8_t> tagged = {uint8_t(which), server};
          tagged.insert(tagged.end(), answer.response.begin(), answer.response.end());
          if (!write_file(req_dir + "/" + name, req) || !write_file(resp_dir + "/" + name, tagged)) {
            std::fprintf(stderr, "cannot write into %s\n", out.c_str());
            return 1;
          }
          ++written;
          packet_spec_free(&spec);
        }
      }
    }
  }
  std::printf("%d seeds in %s\n", written, out.c_str());
  return 0;
}
