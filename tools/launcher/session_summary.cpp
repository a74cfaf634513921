// The end of a session: the pipeline's counts into a Summary, the PNG and
// the raw stream file closed, the exit code chosen.
#include <ostream>

#include "picture_rgb.h"
#include "png_writer.h"
#include "session.h"

namespace vn::launcher {

void Session::build_summary() {
  Summary& s = summary_;
  video_->finish(end_us_);
  if (h264_file_.is_open()) {
    h264_file_.close();
    if (h264_file_) s.h264_path = options_.h264_path;
    else *err_ << "launcher: writing " << options_.h264_path << " failed\n";
  }
  const VideoCounters& v = video_->counters();
  const LossMeter::Counts& loss = video_->loss().totals();
  s.end_reason = end_reason_;
  s.streaming_s = first_media_us_ == 0 ? 0.0 : double(end_us_ - first_media_us_) / 1e6;
  s.frames_complete = v.frames_complete;
  s.frames_decoded = v.frames_decoded;
  s.fps = s.streaming_s > 0 ? double(v.frames_decoded) / s.streaming_s : 0;
  s.video_mbps = s.streaming_s > 0 ? double(v.access_unit_bytes) * 8 / s.streaming_s / 1e6 : 0;
  s.video_datagrams = v.datagrams;
  s.datagrams_received = v.datagrams + audio_->datagrams();
  s.dropped_simulated = v.dropped_simulated;
  s.loss_before_fec_pct = loss.loss_pct();
  s.frames_lost = loss.frames_lost;
  s.frames_rebuilt = v.frames_rebuilt;
  s.key_frames = v.key_frames;
  s.auth_failures = v.auth_failures + audio_->auth_failures();
  s.audio_packets = audio_->packets();
  s.duplicates = v.duplicates;
  s.idr_requests = idr_requests_;
  s.latency_p50_ms = video_->latency().percentile_ms(50);
  s.latency_p99_ms = video_->latency().percentile_ms(99);
  s.latency_samples = video_->latency().count();
  s.jitter_ms = video_->jitter().jitter_ms();
  if (rtt_ms_ >= 0) s.rtt_ms = rtt_ms_;

  if (const DecodedPicture* picture = video_->picture()) {
    s.picture_width = picture->width;
    s.picture_height = picture->height;
    const std::vector<uint8_t> rgb = i420_to_rgb(*picture);
    s.last_picture_rgb = mean_rgb(rgb);
    std::string error;
    if (!options_.png_path.empty()) {
      if (write_png(options_.png_path, picture->width, picture->height, rgb, error)) s.png_path = options_.png_path;
      else *err_ << "launcher: " << error << "\n";
    }
  } else if (!options_.png_path.empty()) {
    *err_ << "launcher: no picture decoded; " << options_.png_path << " not written\n";
  }

  s.violations = violations_;
  s.violation_messages = violation_messages_;
  if (fail_code_ >= 0) s.exit_code = fail_code_;
  else if (violations_ > 0) s.exit_code = kExitViolation;
  else if (first_media_us_ == 0) s.exit_code = kExitNoMedia;
  else s.exit_code = kExitOk;
}

}  // namespace vn::launcher
