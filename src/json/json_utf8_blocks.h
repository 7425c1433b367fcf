// UTF-8 validation a vector of bytes at a time, written once for every width:
// json_text.cpp includes this once per width, in a namespace of its own where
// BRINDELL_TARGET enables the width's instructions and struct Vector defines
// the vector type V and the operations whose instructions differ by width:
//   load(p)                    the sizeof(V) bytes at p
//   lookup(table, at)          the table byte each low nibble of `at` picks,
//                              within each 16-byte lane
//   shiftedRight4(v)           each 16-bit unit shifted right by four bits
//   before<n>(input, prior)    each byte's n-th predecessor, the first ones
//                              from the block before
//   subtractSaturated(a, b)    unsigned, bytewise
//   isAscii(v)                 no byte has its high bit set
// The tables (namespace lookups) come from before it too.
//
// The method is that of Keiser and Lemire ("Validating UTF-8 in less than one
// instruction per byte"): table lookups on the nibbles of each byte and of
// the one before it flag every way two adjacent bytes can break a sequence,
// and a third and fourth byte are checked against the leads two and three
// places back.

struct Utf8Blocks : Vector {
  static constexpr int width = sizeof(V);
  static constexpr int blocksPerChunk = 64 / width;

  struct State {
    V errors;
    V previous;
    // Non-zero where the last block ends inside a sequence the next must finish.
    V pending;
  };

  BRINDELL_TARGET static V splat(unsigned char byte) {
    V v;
    std::memset(&v, byte, sizeof v);
    return v;
  }

  BRINDELL_TARGET static V highNibbles(V v) { return shiftedRight4(v) & splat(0x0F); }

  // The lookups also flag a sequence the previous block left unfinished; only
  // a chunk skipped as ASCII leaves that to `pending`.
  BRINDELL_TARGET static void takeBlock(State& state, V input) {
    const V previous1 = before<1>(input, state.previous);
    const V special = lookup(load(lookups::firstHigh.data()), highNibbles(previous1)) &
                      lookup(load(lookups::firstLow.data()), previous1 & splat(0x0F)) &
                      lookup(load(lookups::secondHigh.data()), highNibbles(input));
    // Bytes two and three places after a 3- or 4-byte lead must continue it;
    // only such leads keep their high bit through these subtractions.
    const V mustContinue =
        (subtractSaturated(before<2>(input, state.previous), splat(0xE0 - 0x80)) |
         subtractSaturated(before<3>(input, state.previous), splat(0xF0 - 0x80))) &
        splat(0x80);
    state.errors |= mustContinue ^ special;
    state.pending = subtractSaturated(input, load(lookups::lastLeadLimits + 64 - width));
    state.previous = input;
  }

  BRINDELL_TARGET static void takeChunk(State& state, const unsigned char* p) {
    V blocks[blocksPerChunk];
    V all = splat(0);
    for (int i = 0; i < blocksPerChunk; ++i) {
      blocks[i] = load(p + i * width);
      all |= blocks[i];
    }
    if (!isAscii(all)) {
      for (const V block : blocks) takeBlock(state, block);
      return;
    }
    state.errors |= state.pending;
    state.pending = splat(0);
    state.previous = blocks[blocksPerChunk - 1];
  }

  BRINDELL_TARGET static bool isValid(const unsigned char* p, const unsigned char* end) {
    State state{splat(0), splat(0), splat(0)};
    for (; end - p >= 64; p += 64) takeChunk(state, p);
    // The rest, padded with zeros: ASCII, so a sequence cut off by the end of
    // the text is flagged like one cut off by any other ASCII byte.
    unsigned char tail[64] = {};
    if (p != end) std::memcpy(tail, p, static_cast<std::size_t>(end - p));
    takeChunk(state, tail);
    const V errors = state.errors | state.pending;
    std::uint64_t words[width / 8];
    std::memcpy(words, &errors, sizeof errors);
    return std::all_of(words, words + width / 8, [](std::uint64_t word) { return word == 0; });
  }
};
