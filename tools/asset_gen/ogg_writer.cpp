#include "tools/asset_gen/ogg_writer.h"

#include <ogg/ogg.h>
#include <vorbis/vorbisenc.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace kelpora::assetgen {

namespace {

constexpr long kRate = 44100;

struct Packet {
  Bytes data;
  ogg_int64_t granule = 0;
  ogg_int64_t packetno = 0;
  bool bos = false, eos = false;
};

Packet Keep(const ogg_packet& op) {
  Packet p;
  p.data.assign(op.packet, op.packet + op.bytes);
  p.granule = op.granulepos;
  p.packetno = op.packetno;
  p.bos = op.b_o_s != 0;
  p.eos = op.e_o_s != 0;
  return p;
}

ogg_packet View(const Packet& p) {
  ogg_packet op{};
  op.packet = const_cast<unsigned char*>(p.data.data());
  op.bytes = static_cast<long>(p.data.size());
  op.granulepos = p.granule;
  op.packetno = p.packetno;
  op.b_o_s = p.bos;
  op.e_o_s = p.eos;
  return op;
}

struct Encoded {
  Packet ident, setup;
  std::vector<Packet> audio;
};

// nominalBitrate > 0 selects average-bitrate mode, otherwise VBR at `quality`.
Encoded Encode(const StereoAudio& audio, long nominalBitrate, float quality) {
  vorbis_info vi;
  vorbis_info_init(&vi);
  int rc = nominalBitrate > 0 ? vorbis_encode_init(&vi, 2, kRate, -1, nominalBitrate, -1)
                              : vorbis_encode_init_vbr(&vi, 2, kRate, quality);
  if (rc != 0) {
    vorbis_info_clear(&vi);
    throw std::runtime_error("vorbis encoder rejected its settings");
  }
  vorbis_comment vc;
  vorbis_comment_init(&vc);
  vorbis_dsp_state vd;
  vorbis_block vb;
  vorbis_analysis_init(&vd, &vi);
  vorbis_block_init(&vd, &vb);
  ogg_packet h0, h1, h2;
  vorbis_analysis_headerout(&vd, &vc, &h0, &h1, &h2);
  Encoded out;
  out.ident = Keep(h0);
  out.setup = Keep(h2);
  auto drain = [&] {
    ogg_packet op;
    while (vorbis_analysis_blockout(&vd, &vb) == 1) {
      vorbis_analysis(&vb, nullptr);
      vorbis_bitrate_addblock(&vb);
      while (vorbis_bitrate_flushpacket(&vd, &op)) out.audio.push_back(Keep(op));
    }
  };
  const size_t frames = audio.Frames();
  for (size_t pos = 0; pos < frames;) {
    int n = static_cast<int>(std::min<size_t>(4096, frames - pos));
    float** buffer = vorbis_analysis_buffer(&vd, n);
    for (int i = 0; i < n; ++i) {
      buffer[0][i] = audio.samples[(pos + i) * 2];
      buffer[1][i] = audio.samples[(pos + i) * 2 + 1];
    }
    vorbis_analysis_wrote(&vd, n);
    drain();
    pos += static_cast<size_t>(n);
  }
  vorbis_analysis_wrote(&vd, 0);
  drain();
  vorbis_block_clear(&vb);
  vorbis_dsp_clear(&vd);
  vorbis_comment_clear(&vc);
  vorbis_info_clear(&vi);
  return out;
}

Packet CommentPacket(const Tags& tags, size_t paddingLength) {
  vorbis_comment vc;
  vorbis_comment_init(&vc);
  for (auto& [key, value] : tags) vorbis_comment_add_tag(&vc, key.c_str(), value.c_str());
  if (paddingLength > 0) {
    std::string padding(paddingLength, ' ');
    vorbis_comment_add_tag(&vc, "PADDING", padding.c_str());
  }
  ogg_packet op;
  vorbis_commentheader_out(&vc, &op);
  Packet p = Keep(op);
  ogg_packet_clear(&op);
  vorbis_comment_clear(&vc);
  return p;
}

void AppendPage(Bytes& out, const ogg_page& page) {
  out.insert(out.end(), page.header, page.header + page.header_len);
  out.insert(out.end(), page.body, page.body + page.body_len);
}

// Header pages: the identification packet alone on the first page; the comment
// packet either shares pages with the setup packet or ends its own pages.
void WriteHeaders(ogg_stream_state& os, Bytes& out, const Encoded& enc, const Packet& comment,
                  bool commentOwnPages) {
  ogg_page page;
  ogg_packet op = View(enc.ident);
  ogg_stream_packetin(&os, &op);
  while (ogg_stream_flush(&os, &page)) AppendPage(out, page);
  op = View(comment);
  ogg_stream_packetin(&os, &op);
  if (commentOwnPages)
    while (ogg_stream_flush(&os, &page)) AppendPage(out, page);
  op = View(enc.setup);
  ogg_stream_packetin(&os, &op);
  while (ogg_stream_flush(&os, &page)) AppendPage(out, page);
}

size_t HeaderSize(const Encoded& enc, const Packet& comment, bool commentOwnPages,
                  uint32_t serial) {
  ogg_stream_state os;
  ogg_stream_init(&os, static_cast<int>(serial));
  Bytes out;
  WriteHeaders(os, out, enc, comment, commentOwnPages);
  ogg_stream_clear(&os);
  return out.size();
}

Bytes Assemble(const Encoded& enc, const Packet& comment, bool commentOwnPages, uint32_t serial) {
  ogg_stream_state os;
  ogg_stream_init(&os, static_cast<int>(serial));
  Bytes out;
  WriteHeaders(os, out, enc, comment, commentOwnPages);
  ogg_page page;
  for (const Packet& p : enc.audio) {
    ogg_packet op = View(p);
    ogg_stream_packetin(&os, &op);
    while (ogg_stream_pageout(&os, &page)) AppendPage(out, page);
  }
  while (ogg_stream_flush(&os, &page)) AppendPage(out, page);
  ogg_stream_clear(&os);
  return out;
}

}  // namespace

Bytes EncodeOggExact(const StereoAudio& audio, size_t targetSize, const Tags& tags,
                     uint32_t serial) {
  const double seconds = static_cast<double>(audio.Frames()) / kRate;
  const Packet plainComment = CommentPacket(tags, 0);
  // Audio pages do not depend on the header pages, so measure them once per encoding.
  double nominal = (static_cast<double>(targetSize) - 8000) * 8 / seconds * 0.985;
  for (int attempt = 0; attempt < 8; ++attempt) {
    Encoded enc = Encode(audio, static_cast<long>(nominal), 0);
    size_t headers = HeaderSize(enc, plainComment, false, serial);
    size_t audioBytes = Assemble(enc, plainComment, false, serial).size() - headers;
    size_t budget = targetSize - std::min(targetSize, headers);
    if (audioBytes <= budget && budget - audioBytes < targetSize / 50) {
      size_t guess = budget - audioBytes;
      for (size_t delta = 0; delta < 4000; ++delta)
        for (size_t padding : {guess + delta, guess - std::min(guess, delta)})
          for (bool ownPages : {false, true}) {
            Packet comment = CommentPacket(tags, padding);
            if (HeaderSize(enc, comment, ownPages, serial) + audioBytes != targetSize) continue;
            Bytes out = Assemble(enc, comment, ownPages, serial);
            if (out.size() == targetSize) return out;
          }
    }
    // Aim again, a little under the budget.
    nominal *= static_cast<double>(budget) / static_cast<double>(audioBytes) * 0.99;
  }
  throw std::runtime_error("Ogg file does not fit its size");
}

Bytes EncodeOggQuality(const StereoAudio& audio, float quality, const Tags& tags, uint32_t serial) {
  Encoded enc = Encode(audio, 0, quality);
  return Assemble(enc, CommentPacket(tags, 0), false, serial);
}

}  // namespace kelpora::assetgen
