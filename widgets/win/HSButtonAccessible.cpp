#include "HSButtonAccessible.h"

#include <cstddef>
#include <string>
#include <vector>

#include "HSButtonHost.h"

namespace hs {

namespace {

// The client area itself (child id CHILDID_SELF) is the window's standard
// client object: parent, location, focus, name and the child windows come
// from it. The buttons are simple elements with child ids 1..n.
class TButtonAccessible final : public IAccessible {
 public:
  explicit TButtonAccessible(THSButtonHost* host) : host_(host) {}

  void Disconnect() {
    host_ = nullptr;
    if (standard_) standard_->Release();
    standard_ = nullptr;
  }

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, IID_IAccessible_value)) {
      *out = static_cast<IAccessible*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) {
      Disconnect();
      delete this;
    }
    return static_cast<ULONG>(left);
  }

  // IDispatch: clients call IAccessible's methods directly; there is no type information.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }

  // IAccessible
  HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** parent) override {
    IAccessible* s = standard();
    return s ? s->get_accParent(parent) : CO_E_OBJNOTCONNECTED;
  }

  HRESULT STDMETHODCALLTYPE get_accChildCount(LONG* count) override {
    if (!count) return E_POINTER;
    if (!host_) return CO_E_OBJNOTCONNECTED;
    *count = static_cast<LONG>(host_->AccessibleButtons().size());
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE get_accChild(VARIANT id, IDispatch** child) override {
    if (!child) return E_POINTER;
    *child = nullptr;
    if (!host_) return CO_E_OBJNOTCONNECTED;
    // The buttons are simple elements: no object of their own.
    return button(id) ? S_FALSE : E_INVALIDARG;
  }

  HRESULT STDMETHODCALLTYPE get_accName(VARIANT id, BSTR* name) override {
    return text_of(id, name, &IAccessible::get_accName,
                   [&](const THSSpeedButton& b) { return host_->AccessibleInfo(b).Name; });
  }

  HRESULT STDMETHODCALLTYPE get_accValue(VARIANT id, BSTR* value) override {
    return text_of(id, value, &IAccessible::get_accValue, [](const THSSpeedButton&) { return std::wstring(); });
  }

  HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT id, BSTR* description) override {
    return text_of(id, description, &IAccessible::get_accDescription,
                   [](const THSSpeedButton& b) { return b.Hint(); });
  }

  HRESULT STDMETHODCALLTYPE get_accRole(VARIANT id, VARIANT* role) override {
    if (!role) return E_POINTER;
    VariantInit(role);
    if (is_self(id)) return delegate([&](IAccessible* s) { return s->get_accRole(id, role); });
    if (!button(id)) return host_ ? E_INVALIDARG : CO_E_OBJNOTCONNECTED;
    role->vt = VT_I4;
    role->lVal = ROLE_SYSTEM_PUSHBUTTON;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE get_accState(VARIANT id, VARIANT* state) override {
    if (!state) return E_POINTER;
    VariantInit(state);
    if (is_self(id)) return delegate([&](IAccessible* s) { return s->get_accState(id, state); });
    THSSpeedButton* b = button(id);
    if (!b) return host_ ? E_INVALIDARG : CO_E_OBJNOTCONNECTED;
    LONG bits = 0;
    if (!b->Enabled()) bits |= STATE_SYSTEM_UNAVAILABLE;
    if (!b->Visible() || !host_->Showing()) bits |= STATE_SYSTEM_INVISIBLE;
    if (host_->AccessibleInfo(*b).Pressed) bits |= STATE_SYSTEM_PRESSED;
    state->vt = VT_I4;
    state->lVal = bits;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT id, BSTR* help) override {
    return text_of(id, help, &IAccessible::get_accHelp, [](const THSSpeedButton&) { return std::wstring(); });
  }

  HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT id, LONG* topic) override {
    if (file) *file = nullptr;
    if (topic) *topic = 0;
    return DISP_E_MEMBERNOTFOUND;
  }

  HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT id, BSTR* shortcut) override {
    return text_of(id, shortcut, &IAccessible::get_accKeyboardShortcut,
                   [&](const THSSpeedButton& b) { return host_->AccessibleInfo(b).KeyboardShortcut; });
  }

  HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* focus) override {
    // The buttons never take the focus: the window or its child windows have it.
    return delegate([&](IAccessible* s) { return s->get_accFocus(focus); });
  }

  HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* selection) override {
    return delegate([&](IAccessible* s) { return s->get_accSelection(selection); });
  }

  HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT id, BSTR* action) override {
    return text_of(id, action, &IAccessible::get_accDefaultAction,
                   [](const THSSpeedButton&) { return std::wstring(L"Press"); });
  }

  HRESULT STDMETHODCALLTYPE accSelect(LONG flags, VARIANT id) override {
    if (is_self(id)) return delegate([&](IAccessible* s) { return s->accSelect(flags, id); });
    return button(id) ? DISP_E_MEMBERNOTFOUND : E_INVALIDARG;
  }

  HRESULT STDMETHODCALLTYPE accLocation(LONG* left, LONG* top, LONG* width, LONG* height, VARIANT id) override {
    if (!left || !top || !width || !height) return E_POINTER;
    if (is_self(id)) return delegate([&](IAccessible* s) { return s->accLocation(left, top, width, height, id); });
    THSSpeedButton* b = button(id);
    if (!b) return host_ ? E_INVALIDARG : CO_E_OBJNOTCONNECTED;
    const TPoint origin = host_->ClientToScreen({b->Left(), b->Top()});
    *left = origin.X;
    *top = origin.Y;
    *width = b->Width();
    *height = b->Height();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE accNavigate(LONG direction, VARIANT start, VARIANT* end) override {
    if (!end) return E_POINTER;
    VariantInit(end);
    if (!host_) return CO_E_OBJNOTCONNECTED;
    const LONG count = static_cast<LONG>(host_->AccessibleButtons().size());
    LONG to = 0;
    if (is_self(start)) {
      if (direction == NAVDIR_FIRSTCHILD) to = 1;
      else if (direction == NAVDIR_LASTCHILD) to = count;
      else return delegate([&](IAccessible* s) { return s->accNavigate(direction, start, end); });
    } else {
      if (!button(start)) return E_INVALIDARG;
      // Among the buttons in their order; the spatial directions are not offered.
      if (direction == NAVDIR_NEXT) to = start.lVal + 1;
      else if (direction == NAVDIR_PREVIOUS) to = start.lVal - 1;
    }
    if (to < 1 || to > count) return S_FALSE;
    end->vt = VT_I4;
    end->lVal = to;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE accHitTest(LONG x, LONG y, VARIANT* hit) override {
    if (!hit) return E_POINTER;
    VariantInit(hit);
    if (!host_) return CO_E_OBJNOTCONNECTED;
    POINT p{x, y};
    ScreenToClient(host_->Window(), &p);
    RECT client{};
    GetClientRect(host_->Window(), &client);
    if (PtInRect(&client, p)) {
      const std::vector<THSSpeedButton*> buttons = host_->AccessibleButtons();
      THSSpeedButton* b = host_->ButtonAt({p.x, p.y}, false);
      for (std::size_t i = 0; b && i < buttons.size(); ++i)
        if (buttons[i] == b) {
          hit->vt = VT_I4;
          hit->lVal = static_cast<LONG>(i + 1);
          return S_OK;
        }
    }
    return delegate([&](IAccessible* s) { return s->accHitTest(x, y, hit); });
  }

  HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT id) override {
    if (is_self(id)) return delegate([&](IAccessible* s) { return s->accDoDefaultAction(id); });
    THSSpeedButton* b = button(id);
    if (!b) return host_ ? E_INVALIDARG : CO_E_OBJNOTCONNECTED;
    if (!b->Enabled() || !b->Visible()) return E_FAIL;
    // The default action is a left click.
    b->Press(mbLeft);
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE put_accName(VARIANT, BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_accValue(VARIANT, BSTR) override { return E_NOTIMPL; }

 private:
  ~TButtonAccessible() = default;

  static bool is_self(const VARIANT& id) { return id.vt == VT_I4 && id.lVal == CHILDID_SELF; }

  // The button of child id `id`, or nullptr (the client area itself, an id out
  // of range or a host that is gone).
  THSSpeedButton* button(const VARIANT& id) const {
    if (!host_ || id.vt != VT_I4 || id.lVal < 1) return nullptr;
    const std::vector<THSSpeedButton*> buttons = host_->AccessibleButtons();
    const auto index = static_cast<std::size_t>(id.lVal - 1);
    return index < buttons.size() ? buttons[index] : nullptr;
  }

  IAccessible* standard() {
    if (!host_) return nullptr;
    if (!standard_)
      CreateStdAccessibleObject(host_->Window(), OBJID_CLIENT, IID_IAccessible_value,
                                reinterpret_cast<void**>(&standard_));
    return standard_;
  }

  template <typename Call>
  HRESULT delegate(Call call) {
    IAccessible* s = standard();
    return s ? call(s) : CO_E_OBJNOTCONNECTED;
  }

  // A text property: the standard object's for the client area, `of_button`
  // for a button (S_FALSE and no string when it is empty).
  template <typename OfButton>
  HRESULT text_of(VARIANT id, BSTR* out, HRESULT (STDMETHODCALLTYPE IAccessible::*of_self)(VARIANT, BSTR*),
                  OfButton of_button) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (is_self(id)) return delegate([&](IAccessible* s) { return (s->*of_self)(id, out); });
    THSSpeedButton* b = button(id);
    if (!b) return host_ ? E_INVALIDARG : CO_E_OBJNOTCONNECTED;
    const std::wstring text = of_button(*b);
    if (text.empty()) return S_FALSE;
    *out = SysAllocString(text.c_str());
    return *out ? S_OK : E_OUTOFMEMORY;
  }

  LONG refs_ = 1;
  THSButtonHost* host_;
  IAccessible* standard_ = nullptr;
};

}  // namespace

IAccessible* CreateButtonAccessible(THSButtonHost* host) { return new TButtonAccessible(host); }

void DisconnectButtonAccessible(IAccessible* object) {
  if (!object) return;
  static_cast<TButtonAccessible*>(object)->Disconnect();
  // Remote clients' proxies are cut off as well; their calls fail from now on.
  CoDisconnectObject(object, 0);
  object->Release();
}

}  // namespace hs
