// frmAbout as a native window hosting the WebBrowser control. The window
// is the control's OLE container (client site, in-place site and frame)
// and receives its DWebBrowserEvents2: BeforeNavigate2 asks the window's
// navigation rule, and a page handed over as text is written into the
// control's document once a blank document has loaded.
#include "platform/win32/view_procedure.h"
#include "platform/win32/win32_views.h"

#include "platform/win32/text.h"
#include "strings/error.h"

#include <exdisp.h>
#include <exdispid.h>
#include <mshtml.h>
#include <ole2.h>
#include <oleidl.h>

namespace corvantix::win32 {
namespace {

constexpr wchar_t window_class[] = L"Corvantix.About";
constexpr int client_width = 784, client_height = 562;
constexpr UINT page_message = WM_APP + 1;

class Win32AboutView;

// The container side of the WebBrowser control. COM owns it by its count;
// the view detaches from it before it goes.
class BrowserSite final : public IOleClientSite,
                          public IOleInPlaceSite,
                          public IOleInPlaceFrame,
                          public IDispatch {
public:
  BrowserSite(Win32AboutView *view, HWND window) : view_(view), window_(window) {}
  void detach() { view_ = nullptr; }

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void **out) override {
    if (IsEqualIID(id, IID_IUnknown) || IsEqualIID(id, IID_IOleClientSite))
      *out = static_cast<IOleClientSite *>(this);
    else if (IsEqualIID(id, IID_IOleWindow) || IsEqualIID(id, IID_IOleInPlaceSite))
      *out = static_cast<IOleInPlaceSite *>(this);
    else if (IsEqualIID(id, IID_IOleInPlaceUIWindow) ||
             IsEqualIID(id, IID_IOleInPlaceFrame))
      *out = static_cast<IOleInPlaceFrame *>(this);
    else if (IsEqualIID(id, IID_IDispatch) ||
             IsEqualIID(id, DIID_DWebBrowserEvents2))
      *out = static_cast<IDispatch *>(this);
    else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --count_;
    if (left == 0)
      delete this;
    return left;
  }

  // IOleClientSite
  HRESULT STDMETHODCALLTYPE SaveObject() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker **moniker) override {
    *moniker = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer **container) override {
    *container = nullptr;
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE ShowObject() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnShowWindow(WINBOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() override { return E_NOTIMPL; }

  // IOleWindow, for the in-place site and the frame alike
  HRESULT STDMETHODCALLTYPE GetWindow(HWND *window) override {
    *window = window_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(WINBOOL) override {
    return E_NOTIMPL;
  }

  // IOleInPlaceSite
  HRESULT STDMETHODCALLTYPE CanInPlaceActivate() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnInPlaceActivate() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnUIActivate() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetWindowContext(IOleInPlaceFrame **frame,
                                             IOleInPlaceUIWindow **document,
                                             LPRECT position, LPRECT clip,
                                             LPOLEINPLACEFRAMEINFO info) override {
    *frame = this;
    AddRef();
    *document = nullptr;
    GetClientRect(window_, position);
    GetClientRect(window_, clip);
    info->fMDIApp = FALSE;
    info->hwndFrame = window_;
    info->haccel = nullptr;
    info->cAccelEntries = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Scroll(SIZE) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnUIDeactivate(WINBOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnInPlaceDeactivate() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE DiscardUndoState() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DeactivateAndUndo() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnPosRectChange(LPCRECT) override { return S_OK; }

  // IOleInPlaceUIWindow
  HRESULT STDMETHODCALLTYPE GetBorder(LPRECT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RequestBorderSpace(LPCBORDERWIDTHS) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetBorderSpace(LPCBORDERWIDTHS) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetActiveObject(IOleInPlaceActiveObject *,
                                            LPCOLESTR) override {
    return S_OK;
  }

  // IOleInPlaceFrame
  HRESULT STDMETHODCALLTYPE InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetMenu(HMENU, HOLEMENU, HWND) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE RemoveMenus(HMENU) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetStatusText(LPCOLESTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE EnableModeless(WINBOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE TranslateAccelerator(LPMSG, WORD) override {
    return S_FALSE;
  }

  // IDispatch: DWebBrowserEvents2
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo **info) override {
    *info = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR *, UINT, LCID,
                                          DISPID *) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD,
                                   DISPPARAMS *params, VARIANT *, EXCEPINFO *,
                                   UINT *) override;

private:
  Win32AboutView *view_;
  HWND window_;
  ULONG count_ = 1;
};

// The text of a string argument, which the events pass by value or by
// reference to a VARIANT.
std::wstring string_argument(const VARIANT &argument) {
  const VARIANT *value = &argument;
  if (value->vt == (VT_BYREF | VT_VARIANT) && value->pvarVal)
    value = value->pvarVal;
  if (value->vt == VT_BSTR && value->bstrVal)
    return std::wstring(value->bstrVal, SysStringLen(value->bstrVal));
  return {};
}

class Win32AboutView final : public AboutView {
public:
  Win32AboutView(Win32Toolkit &toolkit, AboutEvents &events);
  ~Win32AboutView() override;
  Win32AboutView(const Win32AboutView &) = delete;
  Win32AboutView &operator=(const Win32AboutView &) = delete;

  void show() override;
  void close() override;
  bool is_closed() const override { return closed_; }
  bool is_visible() const override {
    return shown_ && !closed_ && IsWindowVisible(window_);
  }
  void set_title(const std::string &title) override {
    if (!closed_)
      SetWindowTextW(window_, widen(title).c_str());
  }
  void set_page(const std::string &html) override;

  /// BeforeNavigate2 and NewWindow3: true cancels the navigation.
  bool navigating(const std::wstring &address);
  void opened_elsewhere(const std::wstring &address);
  void document_complete();

private:
  friend LRESULT CALLBACK win32::view_procedure<Win32AboutView>(HWND, UINT, WPARAM,
                                                       LPARAM);
  LRESULT handle_message(UINT message, WPARAM wparam, LPARAM lparam);
  void embed_browser();
  void release_browser();
  void apply_page();
  bool write_document();
  void resize_browser();

  Win32Toolkit &toolkit_;
  AboutEvents &events_;
  DialogFont font_;
  HWND window_ = nullptr;
  BrowserSite *site_ = nullptr;
  IOleObject *object_ = nullptr;
  IWebBrowser2 *browser_ = nullptr;
  IConnectionPoint *events_point_ = nullptr;
  DWORD events_cookie_ = 0;
  std::wstring page_;
  bool page_pending_ = false;
  bool blank_requested_ = false; ///< about:blank asked for
  bool document_ready_ = false;  ///< a document has loaded to write into
  bool loaded_ = false, shown_ = false, closed_ = false;
};

HRESULT BrowserSite::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS *params,
                            VARIANT *, EXCEPINFO *, UINT *) {
  if (!view_ || !params)
    return S_OK;
  switch (id) {
  case DISPID_BEFORENAVIGATE2:
    // (pDisp, URL, Flags, TargetFrameName, PostData, Headers, Cancel),
    // passed last first.
    if (params->cArgs == 7 && params->rgvarg[0].vt == (VT_BYREF | VT_BOOL)) {
      bool cancel = view_->navigating(string_argument(params->rgvarg[5]));
      *params->rgvarg[0].pboolVal = cancel ? VARIANT_TRUE : VARIANT_FALSE;
    }
    break;
  case DISPID_NEWWINDOW3:
    // (ppDisp, Cancel, dwFlags, bstrUrlContext, bstrUrl): no second
    // window; the address opens in this one.
    if (params->cArgs == 5 && params->rgvarg[3].vt == (VT_BYREF | VT_BOOL)) {
      *params->rgvarg[3].pboolVal = VARIANT_TRUE;
      view_->opened_elsewhere(string_argument(params->rgvarg[0]));
    }
    break;
  case DISPID_DOCUMENTCOMPLETE:
    view_->document_complete();
    break;
  }
  return S_OK;
}

Win32AboutView::Win32AboutView(Win32Toolkit &toolkit, AboutEvents &events)
    : toolkit_(toolkit), events_(events) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW type{};
  type.cbSize = sizeof(type);
  type.lpfnWndProc = view_procedure<Win32AboutView>;
  type.hInstance = instance;
  type.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)); // IDC_ARROW
  type.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  type.lpszClassName = window_class;
  RegisterClassExW(&type);

  // A maximise box but no minimise box.
  DWORD style = (WS_OVERLAPPEDWINDOW & ~WS_MINIMIZEBOX) | WS_CLIPCHILDREN;
  const Scale &s = font_.scale();
  RECT frame{0, 0, s.dx(client_width), s.dy(client_height)};
  AdjustWindowRectEx(&frame, style, FALSE, 0);
  window_ = CreateWindowExW(0, window_class, L"", style, CW_USEDEFAULT,
                            CW_USEDEFAULT, frame.right - frame.left,
                            frame.bottom - frame.top, nullptr, nullptr,
                            instance, this);
  if (!window_)
    throw Error("The about window could not be created.");
  set_program_icon(window_);
  embed_browser();
}

Win32AboutView::~Win32AboutView() { close(); }

// Without an HTML engine the window stays empty; it still opens and closes.
void Win32AboutView::embed_browser() {
  site_ = new BrowserSite(this, window_);
  if (FAILED(CoCreateInstance(CLSID_WebBrowser, nullptr, CLSCTX_INPROC_SERVER,
                              IID_IOleObject,
                              reinterpret_cast<void **>(&object_))))
    return;
  RECT area;
  GetClientRect(window_, &area);
  if (FAILED(object_->SetClientSite(site_)) ||
      FAILED(object_->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, site_, 0,
                             window_, &area)) ||
      FAILED(object_->QueryInterface(IID_IWebBrowser2,
                                     reinterpret_cast<void **>(&browser_)))) {
    release_browser();
    return;
  }
  IConnectionPointContainer *points = nullptr;
  if (SUCCEEDED(object_->QueryInterface(IID_IConnectionPointContainer,
                                        reinterpret_cast<void **>(&points)))) {
    if (SUCCEEDED(points->FindConnectionPoint(DIID_DWebBrowserEvents2,
                                              &events_point_)) &&
        FAILED(events_point_->Advise(static_cast<IDispatch *>(site_),
                                     &events_cookie_))) {
      events_point_->Release();
      events_point_ = nullptr;
    }
    points->Release();
  }
  // No navigation event, no rule: a view that cannot report them stays
  // empty rather than load pages unchecked.
  if (!events_point_)
    release_browser();
}

void Win32AboutView::release_browser() {
  if (events_point_) {
    events_point_->Unadvise(events_cookie_);
    events_point_->Release();
    events_point_ = nullptr;
  }
  if (browser_) {
    browser_->Stop();
    browser_->Release();
    browser_ = nullptr;
  }
  if (object_) {
    IOleInPlaceObject *in_place = nullptr;
    if (SUCCEEDED(object_->QueryInterface(IID_IOleInPlaceObject,
                                          reinterpret_cast<void **>(&in_place)))) {
      in_place->InPlaceDeactivate();
      in_place->Release();
    }
    object_->Close(OLECLOSE_NOSAVE);
    object_->SetClientSite(nullptr);
    object_->Release();
    object_ = nullptr;
  }
}

void Win32AboutView::resize_browser() {
  if (!object_)
    return;
  IOleInPlaceObject *in_place = nullptr;
  if (SUCCEEDED(object_->QueryInterface(IID_IOleInPlaceObject,
                                        reinterpret_cast<void **>(&in_place)))) {
    RECT area;
    GetClientRect(window_, &area);
    in_place->SetObjectRects(&area, &area);
    in_place->Release();
  }
}

void Win32AboutView::show() {
  if (closed_)
    return;
  if (!loaded_) {
    loaded_ = true;
    toolkit_.guard([this] { events_.frmAbout_Load(); });
    if (closed_)
      return;
  }
  ShowWindow(window_, SW_SHOWNORMAL);
  UpdateWindow(window_);
  shown_ = true;
}

void Win32AboutView::close() {
  if (closed_)
    return;
  closed_ = true;
  if (window_)
    DestroyWindow(window_);
}

// Applied from the window's own queue, never from inside the event that may
// have asked for it.
void Win32AboutView::set_page(const std::string &html) {
  if (closed_)
    return;
  page_ = widen(html);
  page_pending_ = true;
  PostMessageW(window_, page_message, 0, 0);
}

void Win32AboutView::apply_page() {
  if (!page_pending_ || !browser_ || closed_)
    return;
  if (document_ready_ && write_document()) {
    page_pending_ = false;
    return;
  }
  // A document to write into comes from a blank page; the page follows
  // when it has loaded.
  if (!blank_requested_) {
    blank_requested_ = true;
    BSTR blank = SysAllocString(L"about:blank");
    VARIANT empty;
    VariantInit(&empty);
    browser_->Navigate(blank, &empty, &empty, &empty, &empty);
    SysFreeString(blank);
  }
}

bool Win32AboutView::write_document() {
  IDispatch *dispatch = nullptr;
  IHTMLDocument2 *document = nullptr;
  if (FAILED(browser_->get_Document(&dispatch)) || !dispatch)
    return false;
  HRESULT found = dispatch->QueryInterface(IID_IHTMLDocument2,
                                           reinterpret_cast<void **>(&document));
  dispatch->Release();
  if (FAILED(found))
    return false;

  bool written = false;
  SAFEARRAY *text = SafeArrayCreateVector(VT_VARIANT, 0, 1);
  VARIANT *item = nullptr;
  if (text && SUCCEEDED(SafeArrayAccessData(text, reinterpret_cast<void **>(&item)))) {
    item->vt = VT_BSTR;
    item->bstrVal = SysAllocStringLen(page_.data(), UINT(page_.size()));
    SafeArrayUnaccessData(text);
    BSTR type = SysAllocString(L"text/html");
    VARIANT empty;
    VariantInit(&empty);
    IDispatch *opened = nullptr;
    if (SUCCEEDED(document->open(type, empty, empty, empty, &opened))) {
      if (opened)
        opened->Release();
      written = SUCCEEDED(document->write(text));
      document->close();
    }
    SysFreeString(type);
  }
  if (text)
    SafeArrayDestroy(text); // frees the string with it
  document->Release();
  return written;
}

bool Win32AboutView::navigating(const std::wstring &address) {
  if (closed_)
    return true;
  bool cancel = true; // also when the handler fails
  toolkit_.guard([&] { cancel = events_.webBrowser1_Navigating(narrow(address)); });
  return cancel;
}

void Win32AboutView::opened_elsewhere(const std::wstring &address) {
  if (navigating(address) || !browser_)
    return;
  BSTR target = SysAllocStringLen(address.data(), UINT(address.size()));
  VARIANT empty;
  VariantInit(&empty);
  browser_->Navigate(target, &empty, &empty, &empty, &empty);
  SysFreeString(target);
}

void Win32AboutView::document_complete() {
  document_ready_ = true;
  blank_requested_ = false;
  if (page_pending_)
    PostMessageW(window_, page_message, 0, 0);
}

LRESULT Win32AboutView::handle_message(UINT message, WPARAM wparam,
                                       LPARAM lparam) {
  if (message == Win32Toolkit::pretranslate_message()) {
    // Keys for the page (Tab between links, Enter on one) go to the
    // control first.
    auto *msg = reinterpret_cast<MSG *>(lparam);
    if (!browser_ || msg->message < WM_KEYFIRST || msg->message > WM_KEYLAST)
      return 0;
    IOleInPlaceActiveObject *active = nullptr;
    LRESULT handled = 0;
    if (SUCCEEDED(browser_->QueryInterface(IID_IOleInPlaceActiveObject,
                                           reinterpret_cast<void **>(&active)))) {
      handled = active->TranslateAccelerator(msg) == S_OK;
      active->Release();
    }
    return handled;
  }
  switch (message) {
  case WM_SIZE:
    resize_browser();
    return 0;
  case page_message:
    apply_page();
    return 0;
  case WM_DESTROY:
    closed_ = true;
    release_browser();
    if (site_) {
      site_->detach();
      site_->Release();
      site_ = nullptr;
    }
    return 0;
  }
  return DefWindowProcW(window_, message, wparam, lparam);
}

} // namespace

std::unique_ptr<AboutView> make_about_view(Win32Toolkit &toolkit,
                                           AboutEvents &events) {
  return std::make_unique<Win32AboutView>(toolkit, events);
}

} // namespace corvantix::win32
