// The five public functions: each downloads one sample image from the base location.
#include <string>
#include <string_view>

#include "instances.hpp"

namespace orvane::instances {
namespace {

using rt::Ref;

// The static-file server's base location; the files lie under its folder "misc/".
constexpr std::string_view kBaseUrl = "https://raw.githubusercontent.com/orvane/orvane/main/";

struct Sample {
  std::string_view file;
  long long width;
  long long height;
};

constexpr Sample kCat{"cat.jpg", 1000, 781};
constexpr Sample kAccent{"ascent.jpg", 1152, 768};  // the function is `accent`, the file not
constexpr Sample kBlackcurrant{"blackcurrant.jpg", 725, 544};
constexpr Sample kBricks{"bricks.jpg", 1280, 696};
constexpr Sample kSegs{"segs.jpg", 748, 533};
constexpr long long kSegsThreshold = 100;

// _url_img(<base>misc/<file>, (width, height), 'F', True), with `url_img` already looked up.
Ref fetch(rt::Handle url_img, const Sample& sample) {
  std::string url{kBaseUrl};
  url += "misc/";
  url += sample.file;
  Ref shape = rt::tuple({rt::integer(sample.width), rt::integer(sample.height)});
  return rt::call(url_img, {rt::str(url), shape, rt::str("F"), Py_True});
}

template <const Sample& sample>
Ref image_body(rt::Call& call) {
  return fetch(call.global("_url_img"), sample);
}

// _as_boolean(_url_img(...), 100): _as_boolean is looked up first, as Python evaluates it.
Ref segs_body(rt::Call& call) {
  Ref as_boolean = call.global("_as_boolean");
  Ref image = fetch(call.global("_url_img"), kSegs);
  return rt::call(as_boolean, {image, rt::integer(kSegsThreshold)});
}

constexpr std::span<const rt::Param> kNoParams{};

}  // namespace

const rt::FunctionSpec cat{.name = "<lambda>", .params = kNoParams, .body = image_body<kCat>};
const rt::FunctionSpec accent{.name = "<lambda>", .params = kNoParams, .body = image_body<kAccent>};
const rt::FunctionSpec blackcurrant{
    .name = "<lambda>", .params = kNoParams, .body = image_body<kBlackcurrant>};
const rt::FunctionSpec bricks{.name = "<lambda>", .params = kNoParams, .body = image_body<kBricks>};
const rt::FunctionSpec segs{.name = "<lambda>", .params = kNoParams, .body = segs_body};

}  // namespace orvane::instances
