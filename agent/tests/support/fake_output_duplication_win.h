#pragma once

#include <windows.h>
#include <d3d11.h>
#include <dxgi1_2.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <vector>

// A scripted stand-in for the system's desktop duplication (Wine has none),
// for DxgiCapture's frame logic.
namespace vn::test {

constexpr DWORD kFakeDriverFault = 0xE0000042;           // raised by the fakes to stand for a driver fault
constexpr uint32_t kFakeDesktopColour = 0xFF2050A0;  // 0xAARRGGBB of the fake desktop

// What one AcquireNextFrame of the fake does.
struct AcquireStep {
  HRESULT result = S_OK;
  bool fault = false;           // raises kFakeDriverFault instead of returning
  std::vector<RECT> dirty = {};  // the frame's dirty rectangles
};

// COM objects are destroyed by their own Release(), never through the interface.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

// Hands out one desktop texture as the script says; an empty script times
// out. Like the real duplication, acquiring while a frame is held is an
// invalid call.
class FakeDuplication final : public IDXGIOutputDuplication {
 public:
  explicit FakeDuplication(ID3D11Texture2D* desktop) : desktop_(desktop) {}

  std::deque<AcquireStep> script;
  bool fault_on_release = false;
  int releases = 0;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (riid == __uuidof(IUnknown) || riid == __uuidof(IDXGIObject) || riid == __uuidof(IDXGIOutputDuplication)) {
      AddRef();
      *out = static_cast<IDXGIOutputDuplication*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID, UINT, const void*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID, const IUnknown*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetPrivateData(REFGUID, UINT*, void*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetParent(REFIID, void** parent) override {
    *parent = nullptr;
    return E_NOTIMPL;
  }
  void STDMETHODCALLTYPE GetDesc(DXGI_OUTDUPL_DESC* desc) override { *desc = {}; }

  HRESULT STDMETHODCALLTYPE AcquireNextFrame(UINT, DXGI_OUTDUPL_FRAME_INFO* info,
                                             IDXGIResource** resource) override {
    *resource = nullptr;
    if (held_) return DXGI_ERROR_INVALID_CALL;
    if (script.empty()) return DXGI_ERROR_WAIT_TIMEOUT;
    const AcquireStep step = script.front();
    script.pop_front();
    if (step.fault) RaiseException(kFakeDriverFault, 0, 0, nullptr);
    if (FAILED(step.result)) return step.result;
    dirty_ = step.dirty;
    *info = {};
    info->AccumulatedFrames = 1;
    // The metadata buffer holds the move rectangles (one here) and the dirty ones.
    info->TotalMetadataBufferSize =
        dirty_.empty() ? 0 : static_cast<UINT>(sizeof(DXGI_OUTDUPL_MOVE_RECT) + dirty_.size() * sizeof(RECT));
    held_ = true;
    return desktop_->QueryInterface(__uuidof(IDXGIResource), reinterpret_cast<void**>(resource));
  }
  HRESULT STDMETHODCALLTYPE GetFrameDirtyRects(UINT size, RECT* rects, UINT* required) override {
    *required = static_cast<UINT>(dirty_.size() * sizeof(RECT));
    if (size < *required) return DXGI_ERROR_MORE_DATA;
    std::copy(dirty_.begin(), dirty_.end(), rects);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetFrameMoveRects(UINT size, DXGI_OUTDUPL_MOVE_RECT* moves, UINT* required) override {
    *required = sizeof(DXGI_OUTDUPL_MOVE_RECT);
    if (size < *required) return DXGI_ERROR_MORE_DATA;
    moves[0] = {{0, 0}, {0, 0, 1, 1}};
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetFramePointerShape(UINT, void*, UINT*, DXGI_OUTDUPL_POINTER_SHAPE_INFO*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE MapDesktopSurface(DXGI_MAPPED_RECT*) override { return DXGI_ERROR_UNSUPPORTED; }
  HRESULT STDMETHODCALLTYPE UnMapDesktopSurface() override { return DXGI_ERROR_UNSUPPORTED; }
  HRESULT STDMETHODCALLTYPE ReleaseFrame() override {
    ++releases;
    if (fault_on_release) RaiseException(kFakeDriverFault, 0, 0, nullptr);
    if (!held_) return DXGI_ERROR_INVALID_CALL;
    held_ = false;
    return S_OK;
  }

 private:
  ~FakeDuplication() = default;

  std::atomic<ULONG> refs_{1};
  ID3D11Texture2D* desktop_;  // owned by the test fixture, which outlives the fake's use
  bool held_ = false;
  std::vector<RECT> dirty_;
};

#pragma GCC diagnostic pop

}  // namespace vn::test
