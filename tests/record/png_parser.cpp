#include "png_parser.h"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <queue>

namespace pngtest {

namespace {

uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

class BitReader {
public:
    BitReader(const std::vector<uint8_t>& data, size_t start) : data_(data), bit_(start * 8) {}
    int bit() {
        if (bit_ / 8 >= data_.size()) {
            overrun = true;
            return 0;
        }
        int b = (data_[bit_ / 8] >> (bit_ % 8)) & 1;
        ++bit_;
        return b;
    }
    int bits(int n) {
        int v = 0;
        for (int i = 0; i < n; ++i) v |= bit() << i;
        return v;
    }
    void align() { bit_ = (bit_ + 7) / 8 * 8; }
    size_t bytePos() const { return bit_ / 8; }
    bool overrun = false;

private:
    const std::vector<uint8_t>& data_;
    size_t bit_;
};

// Canonical Huffman decoding, one bit at a time.
struct Decoder {
    int count[16] = {};
    std::vector<int> symbols;
    int maxBits = 0;
    bool build(const std::vector<int>& lengths) {
        for (int l : lengths) {
            if (l > 15) return false;
            ++count[l];
            maxBits = std::max(maxBits, l);
        }
        count[0] = 0;
        int offs[16] = {};
        for (int l = 1; l < 16; ++l) offs[l] = offs[l - 1] + count[l - 1];
        symbols.assign(lengths.size(), 0);
        for (size_t s = 0; s < lengths.size(); ++s)
            if (lengths[s]) symbols[offs[lengths[s]]++] = int(s);
        return true;
    }
    int decode(BitReader& in) const {
        int code = 0, first = 0, index = 0;
        for (int len = 1; len < 16; ++len) {
            code |= in.bit();
            int n = count[len];
            if (code - n < first) return symbols[size_t(index + code - first)];
            index += n;
            first += n;
            first <<= 1;
            code <<= 1;
        }
        return -1;
    }
};

constexpr int kLenBase[29] = {3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27,
                              31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr int kLenExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr int kDistBase[30] = {1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129, 193, 257, 385, 513, 769,
                               1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr int kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr int kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

std::string dynamicBlock(BitReader& in, StreamWalk& w) {
    int hlit = in.bits(5) + 257, hdist = in.bits(5) + 1, hclen = in.bits(4) + 4;
    std::vector<int> clLengths(19, 0);
    for (int i = 0; i < hclen; ++i) clLengths[size_t(kOrder[i])] = in.bits(3);
    Decoder cl;
    cl.build(clLengths);
    w.maxCodeLenBits = std::max(w.maxCodeLenBits, cl.maxBits);
    std::vector<int> lengths;
    while (int(lengths.size()) < hlit + hdist) {
        int s = cl.decode(in);
        if (s < 0 || in.overrun) return "bad code-length symbol";
        if (s < 16) {
            lengths.push_back(s);
        } else if (s == 16) {
            if (lengths.empty()) return "repeat with no previous length";
            int n = 3 + in.bits(2);
            lengths.insert(lengths.end(), size_t(n), lengths.back());
        } else {
            int n = s == 17 ? 3 + in.bits(3) : 11 + in.bits(7);
            lengths.insert(lengths.end(), size_t(n), 0);
        }
    }
    if (int(lengths.size()) != hlit + hdist) return "code lengths overrun the lists";
    std::vector<int> litLengths(lengths.begin(), lengths.begin() + hlit);
    std::vector<int> distLengths(lengths.begin() + hlit, lengths.end());
    if (litLengths[256] == 0) return "no end-of-block code";
    Decoder lit, dist;
    if (!lit.build(litLengths) || !dist.build(distLengths)) return "code length over 15";
    w.maxLitLenBits = std::max(w.maxLitLenBits, lit.maxBits);
    w.maxDistBits = std::max(w.maxDistBits, dist.maxBits);
    w.distCodesWithLength = int(std::count_if(distLengths.begin(), distLengths.end(), [](int l) { return l > 0; }));
    for (;;) {
        int s = lit.decode(in);
        if (s < 0 || in.overrun) return "bad literal/length symbol";
        ++w.litLenCount[size_t(s)];
        if (s < 256) {
            w.out.push_back(uint8_t(s));
            w.tokens.push_back(Token{0, 0, uint8_t(s)});
            continue;
        }
        if (s == 256) return "";
        if (s > 285) return "invalid length symbol";
        int len = kLenBase[s - 257] + in.bits(kLenExtra[s - 257]);
        int ds = dist.decode(in);
        if (ds < 0 || ds > 29 || in.overrun) return "bad distance symbol";
        ++w.distCount[size_t(ds)];
        int d = kDistBase[ds] + in.bits(kDistExtra[ds]);
        if (size_t(d) > w.out.size()) return "distance before the start";
        w.maxDistance = std::max(w.maxDistance, d);
        w.tokens.push_back(Token{len, d, 0});
        for (int i = 0; i < len; ++i) w.out.push_back(w.out[w.out.size() - size_t(d)]);
    }
}

}  // namespace

bool parseChunks(const std::vector<uint8_t>& file, std::vector<Chunk>& chunks) {
    static const uint8_t kSig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    chunks.clear();
    if (file.size() < 8 || std::memcmp(file.data(), kSig, 8) != 0) return false;
    size_t pos = 8;
    while (pos < file.size()) {
        if (file.size() - pos < 12) return false;
        uint32_t len = be32(&file[pos]);
        if (file.size() - pos - 12 < len) return false;
        Chunk c;
        c.type.assign(reinterpret_cast<const char*>(&file[pos + 4]), 4);
        c.data.assign(file.begin() + long(pos + 8), file.begin() + long(pos + 8 + len));
        uLong crc = ::crc32(0, &file[pos + 4], uInt(4 + len));
        c.crcOk = crc == be32(&file[pos + 8 + len]);
        chunks.push_back(std::move(c));
        pos += 12 + len;
    }
    return true;
}

bool inflateWithZlib(const std::vector<uint8_t>& stream, std::vector<uint8_t>& out) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return false;
    out.clear();
    std::vector<uint8_t> buf(1 << 16);
    z.next_in = const_cast<Bytef*>(stream.data());
    z.avail_in = uInt(stream.size());
    int rc;
    do {
        z.next_out = buf.data();
        z.avail_out = uInt(buf.size());
        rc = inflate(&z, Z_NO_FLUSH);
        out.insert(out.end(), buf.data(), buf.data() + (buf.size() - z.avail_out));
    } while (rc == Z_OK);
    bool ok = rc == Z_STREAM_END && z.avail_in == 0;
    inflateEnd(&z);
    return ok;
}

bool readWithLibpng(const std::string& path, unsigned& width, unsigned& height, std::vector<uint8_t>& rgb) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
    image.format = PNG_FORMAT_RGB;
    width = image.width;
    height = image.height;
    rgb.assign(PNG_IMAGE_SIZE(image), 0);
    bool ok = png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr) != 0;
    png_image_free(&image);
    return ok;
}

StreamWalk walkZlib(const std::vector<uint8_t>& stream) {
    StreamWalk w;
    if (stream.size() < 6) {
        w.error = "stream too short";
        return w;
    }
    w.header0 = stream[0];
    w.header1 = stream[1];
    BitReader in(stream, 2);
    bool final = false;
    while (!final) {
        final = in.bit();
        int type = in.bits(2);
        ++w.blocks;
        w.blockTypes.push_back(type);
        if (type != 2) {
            w.error = "block type other than dynamic Huffman";
            return w;
        }
        w.error = dynamicBlock(in, w);
        if (!w.error.empty()) return w;
    }
    w.lastFinal = final;
    in.align();
    size_t pos = in.bytePos();
    if (stream.size() != pos + 4) {
        w.error = "trailer not where the block ends";
        return w;
    }
    uLong adler = ::adler32(1, w.out.data(), uInt(w.out.size()));
    w.adlerOk = adler == be32(&stream[pos]);
    return w;
}

bool unfilter(const std::vector<uint8_t>& data, unsigned width, unsigned height, std::vector<uint8_t>& rgb) {
    const size_t stride = size_t(width) * 3;
    if (data.size() != (stride + 1) * height) return false;
    rgb.assign(stride * height, 0);
    std::vector<uint8_t> zero(stride, 0);
    for (unsigned y = 0; y < height; ++y) {
        const uint8_t* in = &data[y * (stride + 1)];
        uint8_t* row = &rgb[y * stride];
        const uint8_t* up = y ? row - stride : zero.data();
        for (size_t i = 0; i < stride; ++i) {
            int a = i >= 3 ? row[i - 3] : 0, b = up[i], c = i >= 3 ? up[i - 3] : 0;
            int pred;
            switch (in[0]) {
            case 0: pred = 0; break;
            case 1: pred = a; break;
            case 2: pred = b; break;
            case 3: pred = (a + b) / 2; break;
            case 4: {
                int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
                pred = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
                break;
            }
            default: return false;
            }
            row[i] = uint8_t(in[1 + i] + pred);
        }
    }
    return true;
}

int expectedFilter(const uint8_t* row, const uint8_t* up, unsigned width) {
    const size_t stride = size_t(width) * 3;
    long best = -1;
    int bestFilter = 0;
    for (int f = 0; f < 5; ++f) {
        long sum = 0;
        for (size_t i = 0; i < stride; i += 3) {
            int a = i >= 3 ? row[i - 3] : 0, b = up[i], c = i >= 3 ? up[i - 3] : 0;
            int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
            int pred[5] = {0, a, b, (a + b) / 2, (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c)};
            sum += uint8_t(row[i] - pred[f]);
        }
        if (best < 0 || sum < best) {
            best = sum;
            bestFilter = f;
        }
    }
    return bestFilter;
}

std::vector<Token> referenceParse(const std::vector<uint8_t>& data) {
    std::vector<Token> tokens;
    const size_t n = data.size();
    for (size_t p = 0; p < n;) {
        int maxLen = int(std::min<size_t>(258, n - p));
        int best = 0, bestDist = 0;
        for (size_t d = 1; d <= 2048 && d <= p; ++d) {
            int len = 0;
            while (len < maxLen && data[p - d + size_t(len)] == data[p + size_t(len)]) ++len;
            if (len > best) {
                best = len;
                bestDist = int(d);
            }
        }
        if (best >= 3) {
            tokens.push_back(Token{best, bestDist, 0});
            p += size_t(best);
        } else {
            tokens.push_back(Token{0, 0, data[p]});
            ++p;
        }
    }
    return tokens;
}

int unlimitedHuffmanDepth(const std::vector<uint32_t>& counts) {
    using Node = std::pair<uint64_t, int>;  // weight, depth below
    std::priority_queue<Node, std::vector<Node>, std::greater<Node>> queue;
    for (uint32_t c : counts)
        if (c) queue.push({c, 0});
    if (queue.size() < 2) return queue.empty() ? 0 : 1;
    while (queue.size() > 1) {
        Node a = queue.top();
        queue.pop();
        Node b = queue.top();
        queue.pop();
        queue.push({a.first + b.first, std::max(a.second, b.second) + 1});
    }
    return queue.top().second;
}

}  // namespace pngtest
