#include "Tracer/app/fAboutDlg.h"

#include <algorithm>
#include <memory>

#include "Tracer/foundation/uConfig.h"
#include "Tracer/foundation/uErrorReport.h"
#include "Tracer/foundation/uUtils.h"
#include "Tracer/foundation/uWideStrUtils.h"

namespace {

const wchar_t kLinkProc[] = L"Calderwisp.LinkProc";

// The program's icon, 48 x 48 (the system's application icon when the program has none).
class TIconImage : public TCustomWindow {
public:
  TIconImage(TComponent* owner, TControl* parent, int left, int top, int size)
      : TCustomWindow(owner, parent, L"TIconImage"), FSize(size) {
    SetName(L"img");
    CreateWindowOfClass(WS_VISIBLE, 0, left, top, size, size);
    FIcon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), L"MAINICON", IMAGE_ICON, size, size, LR_SHARED));
    if (!FIcon) FIcon = static_cast<HICON>(LoadImageW(nullptr, IDI_APPLICATION, IMAGE_ICON, size, size, LR_SHARED));
  }

protected:
  LRESULT OnMessage(UINT msg, WPARAM wp, LPARAM lp) override {
    if (msg == WM_ERASEBKGND) return TRUE;
    if (msg != WM_PAINT) return TCustomWindow::OnMessage(msg, wp, lp);
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(Handle(), &ps);
    RECT r = ClientRect();
    FillRect(dc, &r, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    if (FIcon) DrawIconEx(dc, 0, 0, FIcon, FSize, FSize, 0, nullptr, DI_NORMAL);
    EndPaint(Handle(), &ps);
    return 0;
  }

private:
  int FSize;
  HICON FIcon = nullptr;  // shared: not destroyed
};

// The link labels hear the mouse enter and leave.
LRESULT CALLBACK LinkProc(HWND window, UINT msg, WPARAM wp, LPARAM lp) {
  auto old = reinterpret_cast<WNDPROC>(GetPropW(window, kLinkProc));
  auto* label = dynamic_cast<TLabel*>(TControl::FromHandle(window));
  auto* about = label ? dynamic_cast<TAboutDlg*>(label->Owner()) : nullptr;
  if (about) {
    if (msg == WM_MOUSEMOVE && label->FontColor() != TAboutDlg::LinkHoverColor) {
      TRACKMOUSEEVENT track{sizeof(track), TME_LEAVE, window, 0};
      TrackMouseEvent(&track);
      WindowProcGuard([&] { about->LinkMouseEnter(label); });
    } else if (msg == WM_MOUSELEAVE) {
      WindowProcGuard([&] { about->LinkMouseLeave(label); });
    }
  }
  return old ? CallWindowProcW(old, window, msg, wp, lp) : DefWindowProcW(window, msg, wp, lp);
}

void HookLink(TLabel* label) {
  SetPropW(label->Handle(), kLinkProc,
           reinterpret_cast<HANDLE>(SetWindowLongPtrW(label->Handle(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&LinkProc))));
}

void UnhookLink(TLabel* label) {
  if (HANDLE old = RemovePropW(label->Handle(), kLinkProc))
    SetWindowLongPtrW(label->Handle(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(old));
}

std::wstring FileLine(const std::wstring& name, const std::wstring& path) {
  return WideFormat(L"%-21ls%ls", name.c_str(), GetFileVersionText(path).c_str());
}

}  // namespace

TAboutDlg::TAboutDlg(TComponent* owner) : TfrmBase(owner, L"TAboutDlg", 358, 262, TBorderStyle::None) {
  AddClassSection("TAboutDlg");
  SetCaption(L"About Calderwisp");
  SetColor(RGB(255, 255, 255));
  img = new TIconImage(this, this, 16, 16, 48);
  Label1 = new TLabel(this, this, L"Label1", L"Calderwisp", 78, 7);
  Label1->SetFont(L"Tahoma", -32, true);
  // The version follows the product name, also where the name's font is drawn wider.
  lblAppVersion = new TLabel(this, this, L"lblAppVersion", L"2", std::max(254, Label1->Left() + Label1->Width()), 11);
  lblAppVersion->SetFont(L"Verdana", -32, true);
  lblAppVersion->SetFontColor(12815450);
  SetWindowPos(lblAppVersion->Handle(), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  Label8 = new TLabel(this, this, L"Label8", L"Home page", 16, 72);
  lblHTTP1 = new TLabel(this, this, L"lblHTTP1", L"http://www.calderwisp.org", 80, 72, 0, 0, TTextAlign::Left, true);
  Label4 = new TLabel(this, this, L"Label4", L"E-mail", 16, 88);
  lblEMail = new TLabel(this, this, L"lblEMail", SupportAddress, 80, 88, 0, 0, TTextAlign::Left, true);
  // Labels in the box's white (a transparent static control would show what is behind the
  // clipped parent, not the parent).
  for (TLabel* l : {Label1, lblAppVersion, Label8, Label4}) l->SetColor(RGB(255, 255, 255));
  for (TLabel* link : {lblHTTP1, lblEMail}) {
    link->SetFont(L"Arial", -11, false, true);
    link->SetFontColor(LinkColor);
    link->SetColor(RGB(255, 255, 255));
    link->SetCursor(IDC_HAND);
    link->OnClick = [this](TLabel* sender) { lblEMailClick(sender); };
    HookLink(link);
  }
  // Lines stay unwrapped (the edit keeps its horizontal scroll bar with that).
  mem = new TMemo(this, this, L"mem", 8, 112, 345, 113, false);
  SetWindowLongW(mem->Handle(), GWL_EXSTYLE, GetWindowLongW(mem->Handle(), GWL_EXSTYLE) & ~WS_EX_CLIENTEDGE);
  SetWindowPos(mem->Handle(), nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_FRAMECHANGED);
  mem->SetFont(L"Courier New", -11);
  mem->SetReadOnly(true);
  mem->SetColor(RGB(255, 255, 255));
  btnOK = new TButton(this, this, L"btnOK", L"OK", 278, 232);
  btnOK->SetDefault(true);
  btnOK->SetCancel(true);
  btnOK->SetModalResult(mrOK);
}

TAboutDlg::~TAboutDlg() {
  UnhookLink(lblHTTP1);
  UnhookLink(lblEMail);
}

void TAboutDlg::FormCreate() {
  TfrmBase::FormCreate();
  const std::wstring rule(31, L'=');
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  const std::wstring program(path, n);
  mem->AddLine(AnsiToWide(WideToAnsi(GetWindowsVersionText())));
  mem->AddLine(rule);
  mem->AddLine(FileLine(WideExtractFileName(program), program));
  for (const wchar_t* file : {L"Vostik.dll", L"Zentrel.exe", L"MsScript.ocx", L"JScript.dll"}) mem->AddLine(FileLine(file, file));
  mem->AddLine(rule);
  // Shown from its first line and column.
  mem->Perform(EM_SETSEL, 0, 0);
  mem->Perform(EM_SCROLLCARET);
}

void TAboutDlg::lblEMailClick(TLabel* sender) {
  CW_ASSERT(sender != nullptr, L"src/Tracer/fAboutDlg", __LINE__);
  std::wstring target = sender->Caption();
  if (target.find(L'@') != std::wstring::npos) target = L"mailto:" + target;
  ShellExecuteFile(target);
}

void TAboutDlg::LinkMouseEnter(TLabel* sender) { sender->SetFontColor(LinkHoverColor); }

void TAboutDlg::LinkMouseLeave(TLabel* sender) { sender->SetFontColor(LinkColor); }

LRESULT TAboutDlg::OnMessage(UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_PAINT) {
    // A frame of one black pixel around the whole box.
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(Handle(), &ps);
    RECT r = ClientRect();
    FrameRect(dc, &r, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    EndPaint(Handle(), &ps);
    return 0;
  }
  return TfrmBase::OnMessage(msg, wp, lp);
}

void ShowAbout(TComponent* owner) {
  auto about = CreateForm<TAboutDlg>(owner);
  about->ShowModal();
}
