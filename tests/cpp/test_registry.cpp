#include <doctest/doctest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "circuit/parse.hpp"
#include "models/guess.hpp"
#include "models/registry.hpp"
#include "models/topology.hpp"
#include "models/weights_cache.hpp"
#include "nn/inference.hpp"
#include "weight_file_builder.hpp"

using namespace movarin;
namespace fs = std::filesystem;

namespace {

SeriesList circuit(std::string_view text) {
  return parse_circuit(text).value();
}

std::optional<std::string> model_for(std::string_view text) {
  const auto match = find_model(circuit(text));
  if (!match) return std::nullopt;
  return std::string(match->entry->name()) + (match->match.rewritten ? " (rewritten)" : "");
}

// A weight file in a fresh temporary folder, removed with the object.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::vector<std::uint8_t>& bytes) {
    static int counter = 0;
    path_ = fs::temp_directory_path() / ("movarin_test_" + std::to_string(::getpid()) + "_" +
                                         std::to_string(counter++) + ".ovrel");
    write(bytes);
  }
  ~TemporaryFile() { fs::remove(path_); }
  void write(const std::vector<std::uint8_t>& bytes) const {
    std::ofstream(path_, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  void remove() const { fs::remove(path_); }
  std::string path() const { return path_.string(); }

 private:
  fs::path path_;
};

std::vector<std::uint8_t> small_model_file(std::string circuit_text) {
  test_support::RandomModel spec;
  spec.circuit = std::move(circuit_text);
  spec.channels = 8;
  spec.n_grid = 16;
  spec.groups = 4;
  return test_support::random_model_file(spec);
}

Spectrum test_spectrum(std::size_t points = 30) {
  const SeriesList valued =
      with_values(circuit("R0-(R1,CPE1)"), std::vector<double>{5, 50, 2e-4, 0.8}).value();
  Spectrum spectrum;
  for (std::size_t i = 0; i < points; ++i) {
    spectrum.frequencies.push_back(std::pow(10.0, -1.0 + 6.0 * static_cast<double>(i) / 29.0));
  }
  spectrum.impedances = impedance(valued, spectrum.frequencies);
  return spectrum;
}

std::vector<double> guessed(std::string_view text, const std::string& path,
                            const Spectrum& spectrum = test_spectrum()) {
  auto values = guess_parameters(circuit(text), spectrum, path);
  if (!values.ok()) FAIL(message(values.error()));
  return std::move(values).value();
}

std::string guess_error(std::string_view text, const std::optional<std::string>& path,
                        const Spectrum& spectrum = test_spectrum()) {
  const auto values = guess_parameters(circuit(text), spectrum, path);
  REQUIRE_FALSE(values.ok());
  return message(values.error());
}

std::vector<double> predicted(const std::vector<std::uint8_t>& file) {
  return predict_parameters(parse_weight_file(file).value(), test_spectrum()).value();
}

}  // namespace

TEST_CASE("registry: entries, keys and names") {
  const std::vector<std::string> keys = {
      "[([C],[R]),R]",
      "[([C],[R]),L,R]",
      "[([Cpe],[R]),R]",
      "[([Cpe],[R]),L,R]",
      "[([C],[R]),([C],[R]),R]",
      "[([C],[R]),([C],[R]),L,R]",
      "[([Cpe],[R]),([Cpe],[R]),R]",
      "[([Cpe],[R]),([Cpe],[R]),L,R]",
      "[([Cpe],[R,W]),R]",
      "[([Cpe],[R,W]),([Cpe],[R]),R]",
      "[([Cpe],[R,Wo]),([Cpe],[R]),R]",
  };
  const auto entries = model_registry();
  REQUIRE(entries.size() == keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    CHECK(entries[i].name() == kBuiltinCircuits[i].name);
    CHECK(topology_key(circuit(entries[i].circuit())).key == keys[i]);
  }
  CHECK(model_list_text() ==
        "'rc', 'rc_l', 'rq', 'rq_l', 'two_rc', 'two_rc_l', 'two_rq', 'two_rq_l', 'randles', "
        "'sei_randles', 'sei_randles_wo'");
}

TEST_CASE("registry: matching ignores order and labels") {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"(R1,C2)-R3", "rc"},
      {"(C5,R2)-R7", "rc"},
      {"R0-(R1,Cpe1)", "rq"},
      {"R0-(R1,C1)-L2", "rc_l"},
      {"(R2,C2)-R0-(R1,C1)", "two_rc"},
      {"R9-(CPE3,W4-R8)", "randles"},
      {"R0-(R1,CPE1)-(Wo2-R2,CPE2)", "sei_randles_wo"},
      {"R0-Zarc1", "rq (rewritten)"},
      {"R0-K1", "rc (rewritten)"},
      {"L0-K1-R0-K2", "two_rc_l (rewritten)"},
      {"R0-(R1-W1,C1)", std::nullopt},
      {"R0-(R1,(C1,R2))", std::nullopt},
      {"R0-R1-(R2,C1)", std::nullopt},
      {"(R1,C1)", std::nullopt},
  };
  for (const auto& [text, name] : cases) {
    CAPTURE(text);
    CHECK(model_for(text) == name);
  }
}

TEST_CASE("registry: parameter maps") {
  CHECK(match_topology(circuit("R0-(R1,C1)"), circuit("(R1,C2)-R3")) == ParameterMap{1, 2, 0});
  // The first-written pair takes the model's first pair, whichever order the series is in.
  const SeriesList two_rc = circuit("R0-(R1,C1)-(R2,C2)");
  CHECK(match_topology(two_rc, circuit("R0-(R1,C1)-(R2,C2)")) == ParameterMap{0, 1, 2, 3, 4});
  CHECK(match_topology(two_rc, circuit("(R2,C2)-R0-(R1,C1)")) == ParameterMap{1, 2, 0, 3, 4});
  CHECK(match_topology(circuit("R0-(R1-W1,CPE1)"), circuit("(CPE1,W1-R1)-R0")) ==
        ParameterMap{3, 4, 2, 1, 0});
  CHECK_FALSE(match_topology(two_rc, circuit("R0-(R1,C1)")));
}

TEST_CASE("registry: K and Zarc written out and back") {
  const SeriesList written =
      with_values(circuit("K1-(Zarc2,R3)"), std::vector<double>{2.0, 6.0, 4.0, 8.0, 0.5, 1.0})
          .value();
  const Expansion expansion = expand_abbreviations(written);
  CHECK(expansion.rewritten);
  CHECK(topology_key(expansion.circuit).key == "[([([Cpe],[R])],[R]),([C],[R])]");
  CHECK(param_names(expansion.circuit) ==
        std::vector<std::string>{"R0.r", "C0.c", "R1.r", "Cpe0.q", "Cpe0.alpha", "R3.r"});
  CHECK(param_values(expansion.circuit) ==
        std::vector<double>{2.0, 3.0, 4.0, std::sqrt(8.0) / 4.0, 0.5, 1.0});
  CHECK_FALSE(expand_abbreviations(circuit("R0-(R1,C1)")).rewritten);

  const auto back =
      collapse_abbreviated_values(written, {2.0, 3.0, 4.0, 0.25, 0.5, 1.0, /*unused*/});
  CHECK(back == std::vector<double>{2.0, 6.0, 4.0, 1.0, 0.5, 1.0});
  // The exponent divides the logarithm; a vanishing one is held at 1e-6.
  const auto tiny = collapse_abbreviated_values(circuit("Zarc0"), {2.0, 0.25, 0.0});
  CHECK(tiny[1] == std::pow(0.5, 1e6));
}

TEST_CASE("registry: preparing an entry") {
  const std::string unparsable = "weight file has an unparsable value for ";
  const auto rc = small_model_file("R0-(R1,C1)");
  const auto error = [](Result<WeightModel, WeightError> result) {
    REQUIRE_FALSE(result.ok());
    return message(result.error());
  };
  CHECK(prepare_model("rc", "R0-(R1,C1)", std::span<const std::uint8_t>(rc)).ok());
  CHECK(error(prepare_model("rc", "R0-(R1,C1)", std::nullopt)) ==
        unparsable + "model rc is not available in this build");
  CHECK(error(prepare_model("rc", "R0-(R1,C1)", std::span<const std::uint8_t>(rc).first(7))) ==
        "weight file is truncated");
  CHECK(error(prepare_model("rc_l", "L0-R0-(R1,C1)", std::span<const std::uint8_t>(rc))) ==
        unparsable +
            "model rc_l is registered as L0-R0-(R1,C1) but its weights were trained for "
            "R0-(R1,C1)");

  auto builder = test_support::random_model_builder({});
  builder.header("circuit", "R0-(R1,C1").header("param_names", "R0.r,R1.r,C1.c");
  const auto broken = builder.bytes();
  CHECK(error(prepare_model("x", "R0-(R1,C1", std::span<const std::uint8_t>(broken))) ==
        unparsable + "registry circuit R0-(R1,C1");
  builder.header("circuit", "R0-(R1,C1)").header("param_names", "R0.r,C1.c,R1.r");
  const auto renamed = builder.bytes();
  CHECK(
      error(prepare_model("rc", "R0-(R1,C1)", std::span<const std::uint8_t>(renamed))) ==
      unparsable +
          R"(model rc has parameters ["R0.r", "C1.c", "R1.r"], expected ["R0.r", "R1.r", "C1.c"])");

  // Every entry's weight file is compiled in and passes the preparation checks.
  for (const RegistryEntry& entry : model_registry()) {
    CAPTURE(entry.name());
    const auto model = entry.model();
    CHECK(model.ok());
  }
}

TEST_CASE("registry: guess, stored models") {
  CHECK(guess_error("R0-(R1-W1,C1)", std::nullopt, test_spectrum(1)) ==
        "No training data on this circuit. Machine-learning based initial parameters available "
        "for 'rc', 'rc_l', 'rq', 'rq_l', 'two_rc', 'two_rc_l', 'two_rq', 'two_rq_l', 'randles', "
        "'sei_randles', 'sei_randles_wo'");
  CHECK(guess_error("R0-(R1,C1)", std::nullopt, test_spectrum(1)) ==
        "need at least 2 frequency points to guess, got 1");
  CHECK(guess_parameters(circuit("(C5,R2)-R7"), test_spectrum(), std::nullopt).ok());
}

TEST_CASE("registry: guess, a user's weight file") {
  const auto rc_bytes = small_model_file("R0-(R1,C1)");
  const auto rq_bytes = small_model_file("R0-(R1,CPE1)");
  const TemporaryFile rc(rc_bytes), rq(rq_bytes);
  const std::vector<double> p = predicted(rc_bytes);
  const std::vector<double> q = predicted(rq_bytes);

  CHECK(guessed("(R1,C2)-R3", rc.path()) == std::vector<double>{p[1], p[2], p[0]});
  CHECK(guessed("R0-K1", rc.path()) == std::vector<double>{p[0], p[1], p[1] * p[2]});
  CHECK(guessed("Zarc1-R0", rq.path()) ==
        std::vector<double>{q[1], std::pow(q[1] * q[2], 1.0 / q[3]), q[3], q[0]});

  CHECK(guess_error("R0-(R1,CPE1)", rc.path()) ==
        "weight file has an unparsable value for " + rc.path() +
            " was trained for R0-(R1,C1), which is a different circuit");
  CHECK(guess_error("R0-(R1,C1)", rc.path(), test_spectrum(1)) ==
        "need at least 2 frequency points to guess, got 1");
  CHECK(guess_error("R0-(R1,C1)", "/nonexistent/movarin.ovrel") ==
        "reading weights: \"/nonexistent/movarin.ovrel\": No such file or directory (os error 2)");

  auto builder = test_support::random_model_builder({});
  builder.header("circuit", "R0-(R1,Q1)");
  const TemporaryFile bad_circuit(builder.bytes());
  CHECK(guess_error("R0-(R1,C1)", bad_circuit.path()) ==
        "weight file has an unparsable value for circuit R0-(R1,Q1) in " + bad_circuit.path());
  builder.header("circuit", "R0-(R1,C1)").header("param_names", "R0.r,R1.r");
  const TemporaryFile short_names(builder.bytes());
  CHECK(guess_error("R0-(R1,C1)", short_names.path()) ==
        "weight file has an unparsable value for param_names (2 names for the 3 parameters of "
        "R0-(R1,C1))");
}

TEST_CASE("registry: guess, each version of a file is read once, whatever its path's spelling") {
  const auto rc_bytes = small_model_file("R0-(R1,C1)");
  const TemporaryFile file({'j', 'u', 'n', 'k', '!', '!', '!', '!'});
  CHECK(guess_error("R0-(R1,C1)", file.path()) == "not an ovrel weight file (bad magic bytes)");
  file.write(rc_bytes);  // a file that failed to parse was not kept
  CHECK(guessed("R0-(R1,C1)", file.path()) == predicted(rc_bytes));

  WeightsCache cache;
  const auto accept = [](const WeightModel&) { return std::optional<WeightError>(); };
  const fs::path path(file.path());
  const fs::path link = path.string() + ".link";
  fs::create_symlink(path, link);
  for (const fs::path& spelling : {path, path.parent_path() / "." / path.filename(), link}) {
    CHECK(cache.lookup(spelling.string(), accept).ok());
  }
  fs::remove(link);
  CHECK(cache.size() == 1);
  // An edited file is another version: read again, and the old version is never served for it.
  const auto rq_bytes = small_model_file("R0-(R1,CPE1)");
  file.write(rq_bytes);
  const auto edited = cache.lookup(file.path(), accept);
  CHECK(edited.value()->circuit == "R0-(R1,CPE1)");
  CHECK(guess_error("R0-(R1,C1)", file.path()).ends_with("which is a different circuit"));
  file.remove();
  CHECK(guess_error("R0-(R1,C1)", file.path()).ends_with("No such file or directory (os error 2)"));

  // The cache holds at most its capacity; a model handed out outlives its eviction.
  WeightsCache small(2);
  const TemporaryFile a(rc_bytes), b(rq_bytes), c(rc_bytes);
  const auto first = small.lookup(a.path(), accept).value();
  CHECK(small.lookup(b.path(), accept).ok());
  CHECK(small.lookup(c.path(), accept).ok());
  CHECK(small.size() == 2);
  CHECK(first->circuit == "R0-(R1,C1)");
}

TEST_CASE("registry: only regular files of a bounded size are read, and nothing blocks") {
  const fs::path fifo = fs::temp_directory_path() / ("movarin_fifo_" + std::to_string(::getpid()));
  REQUIRE(::mkfifo(fifo.c_str(), 0600) == 0);
  struct Case {
    std::string path;
    std::string kind;
  };
  const std::vector<Case> cases = {{fifo.string(), "a FIFO"},
                                   {"/dev/zero", "a character device"},
                                   {fs::temp_directory_path().string(), "a directory"}};
  for (const Case& c : cases) {
    CAPTURE(c.path);
    CHECK(guess_error("R0-(R1,C1)", c.path) ==
          "reading weights: \"" + c.path + "\": is " + c.kind + ", not a regular file");
  }
  fs::remove(fifo);

  // Too large: refused from its size alone (a sparse file, so nothing is written).
  const TemporaryFile large({});
  fs::resize_file(large.path(), kMaxWeightFileBytes + 1);
  CHECK(guess_error("R0-(R1,C1)", large.path()) ==
        "reading weights: \"" + large.path() + "\": file has " +
            std::to_string(kMaxWeightFileBytes + 1) + " bytes, more than the " +
            std::to_string(kMaxWeightFileBytes) + " a weight file may have");
}

TEST_CASE("registry: guess, an exception under the cache lock poisons the cache") {
  WeightsCache cache;
  const TemporaryFile file(small_model_file("R0-(R1,C1)"));
  const auto accept = [](const WeightModel&) { return std::optional<WeightError>(); };
  const auto refuse = [](const WeightModel&) {
    return std::optional<WeightError>(WeightError::unparsable("x"));
  };
  CHECK_FALSE(cache.lookup(file.path(), refuse).ok());
  CHECK(cache.lookup(file.path(), accept).ok());  // an ordinary error does not poison
  CHECK_THROWS_AS(cache.lookup(file.path(),
                               [](const WeightModel&) -> std::optional<WeightError> {
                                 throw std::runtime_error("abnormal end");
                               }),
                  std::runtime_error);
  const auto after = cache.lookup(file.path(), accept);
  REQUIRE_FALSE(after.ok());
  CHECK(message(after.error()) == "weights cache poisoned");
}
