// Build-time tool: counts a trigram language model from a plain text corpus and writes it in
// ARPA form, the developer-speech model the recogniser mixes with the general one.
//
//   talvane-make-lm CORPUS OUT.lm DICT...
//
// Every corpus word must have a pronunciation in one of the dictionaries, else the recogniser
// could never hear it: such words fail the build by name.
//
// Estimates are absolute discounting with back-off (Ney's D from the counts of counts per
// order), which behaves well on a corpus of a few thousand words where Good-Turing does not.
#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Gram = std::vector<std::string>;

std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> out;
  std::string word;
  for (char c : line) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || c == '\'') {
      word += static_cast<char>(std::tolower(u));
    } else if (!word.empty()) {
      out.push_back(word);
      word.clear();
    }
  }
  if (!word.empty()) out.push_back(word);
  return out;
}

std::set<std::string> dictionaryWords(const std::string& path) {
  std::set<std::string> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::string word = line.substr(0, line.find_first_of(" \t"));
    // Alternative pronunciations are written word(2).
    if (auto paren = word.find('('); paren != std::string::npos) word.resize(paren);
    if (!word.empty()) out.insert(word);
  }
  return out;
}

std::string joined(const Gram& g) {
  std::string s;
  for (const auto& w : g) s += (s.empty() ? "" : " ") + w;
  return s;
}

std::string log10Text(double p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.4f", p > 0 ? std::log10(p) : -99.0);
  return buf;
}

constexpr int kOrder = 3;
// Indexed by n-gram order, 1 to kOrder.
template <typename T>
using ByOrder = std::array<std::map<Gram, T>, kOrder + 1>;

// Every n-gram of the corpus's sentences counted, each sentence between <s> and </s>; the words
// that `known` lacks go to `missing`.
ByOrder<long> countGrams(std::istream& corpus, const std::set<std::string>& known,
                         std::set<std::string>& missing) {
  ByOrder<long> counts;
  std::string line;
  while (std::getline(corpus, line)) {
    if (line.empty() || line[0] == '#') continue;
    auto ws = words(line);
    if (ws.empty()) continue;
    for (const auto& w : ws)
      if (!known.count(w)) missing.insert(w);
    ws.insert(ws.begin(), "<s>");
    ws.push_back("</s>");
    for (int n = 1; n <= kOrder; ++n)
      for (std::size_t i = 0; i + n <= ws.size(); ++i)
        counts[n][Gram(ws.begin() + i, ws.begin() + i + n)]++;
  }
  return counts;
}

struct Model {
  ByOrder<double> prob, backoff;
};

// Absolute discounting with back-off weights.
Model estimate(const ByOrder<long>& counts) {
  // Discount per order from the counts of counts: D = n1 / (n1 + 2 n2).
  double discount[kOrder + 1] = {};
  for (int n = 2; n <= kOrder; ++n) {
    long n1 = 0, n2 = 0;
    for (const auto& [g, c] : counts[n]) n1 += c == 1, n2 += c == 2;
    discount[n] = n1 + n2 > 0 ? std::clamp(double(n1) / (n1 + 2.0 * n2), 0.1, 0.9) : 0.5;
  }

  // Probabilities of every counted n-gram, lowest order first so back-off weights can use them.
  Model m;
  long total = 0;
  for (const auto& [g, c] : counts[1])
    if (g[0] != "<s>") total += c;
  // Unigrams are plain relative frequencies: words the corpus never saw come from the general
  // model mixed in beside this one.
  for (const auto& [g, c] : counts[1]) m.prob[1][g] = g[0] == "<s>" ? 0.0 : double(c) / total;
  for (int n = 2; n <= kOrder; ++n) {
    std::map<Gram, long> contextTotal;
    for (const auto& [g, c] : counts[n]) contextTotal[Gram(g.begin(), g.end() - 1)] += c;
    for (const auto& [g, c] : counts[n])
      m.prob[n][g] = (c - discount[n]) / contextTotal[Gram(g.begin(), g.end() - 1)];
  }
  // Back-off weight of a context: the mass its discounts freed, spread over the lower-order
  // probabilities of the words never seen after it. Every counted n-gram's shorter suffix was
  // counted too, so the lower-order probability is always there.
  for (int n = 1; n < kOrder; ++n) {
    std::map<Gram, std::pair<double, double>> sums;  // context -> (seen mass, lower-order mass)
    for (const auto& [g, p] : m.prob[n + 1]) {
      Gram context(g.begin(), g.end() - 1), shorter(g.begin() + 1, g.end());
      auto& s = sums[context];
      s.first += p;
      s.second += m.prob[n][shorter];
    }
    for (const auto& [context, s] : sums) {
      const double left = std::max(1.0 - s.first, 1e-6), lowerLeft = std::max(1.0 - s.second, 1e-6);
      m.backoff[n][context] = left / lowerLeft;
    }
  }
  return m;
}

// The model in ARPA form; false when it could not be written.
bool writeArpa(const char* path, const ByOrder<long>& counts, const Model& m) {
  std::ofstream out(path);
  out << "\\data\\\n";
  for (int n = 1; n <= kOrder; ++n) out << "ngram " << n << "=" << counts[n].size() << "\n";
  for (int n = 1; n <= kOrder; ++n) {
    out << "\n\\" << n << "-grams:\n";
    for (const auto& [g, p] : m.prob[n]) {
      out << (g[0] == "<s>" && n == 1 ? "-99.0000" : log10Text(p)) << " " << joined(g);
      if (n < kOrder) {
        auto b = m.backoff[n].find(g);
        if (b != m.backoff[n].end()) out << " " << log10Text(b->second);
      }
      out << "\n";
    }
  }
  out << "\n\\end\\\n";
  out.close();
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::cerr << "usage: talvane-make-lm CORPUS OUT.lm DICT...\n";
    return 2;
  }
  std::ifstream corpus(argv[1]);
  if (!corpus) {
    std::cerr << "talvane-make-lm: cannot read " << argv[1] << "\n";
    return 1;
  }
  std::set<std::string> known;
  for (int i = 3; i < argc; ++i) {
    auto d = dictionaryWords(argv[i]);
    if (d.empty()) {
      std::cerr << "talvane-make-lm: no words in " << argv[i] << "\n";
      return 1;
    }
    known.insert(d.begin(), d.end());
  }
  std::set<std::string> missing;
  const ByOrder<long> counts = countGrams(corpus, known, missing);
  if (!missing.empty()) {
    std::cerr << "talvane-make-lm: no pronunciation for:";
    for (const auto& w : missing) std::cerr << " " << w;
    std::cerr << "\n";
    return 1;
  }
  if (!writeArpa(argv[2], counts, estimate(counts))) {
    std::cerr << "talvane-make-lm: cannot write " << argv[2] << "\n";
    return 1;
  }
  return 0;
}
