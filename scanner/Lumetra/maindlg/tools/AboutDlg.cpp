#include "maindlg/tools/AboutDlg.h"

#include <wx/button.h>
#include <wx/dcmemory.h>
#include <wx/sizer.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>

#include "config/ui/WxText.h"
#include "platform/ui.h"

using lumetra::ToWx;

namespace {

// The product picture beside the title: drawn here, as the library carries no image files.
wxBitmap ProductBitmap() {
  wxBitmap bitmap(48, 48);
  wxMemoryDC dc(bitmap);
  dc.SetBackground(wxBrush(wxColour(24, 44, 84)));
  dc.Clear();
  dc.SetPen(wxPen(wxColour(200, 60, 60), 4));
  dc.DrawLine(6, 30, 42, 30);
  dc.SetPen(wxPen(wxColour(60, 180, 80), 4));
  dc.DrawLine(6, 38, 42, 38);
  dc.SetBrush(*wxWHITE_BRUSH);
  dc.SetPen(*wxWHITE_PEN);
  dc.DrawRectangle(10, 8, 28, 12);
  dc.SelectObject(wxNullBitmap);
  return bitmap;
}

}  // namespace

CAboutDlg::CAboutDlg(wxWindow* parent, IScanCtrl* scanCtrl, bool offline, bool busy)
    : wxDialog(parent, wxID_ANY, "About Tarsel Halvorn") {
  if (scanCtrl) scanCtrl->AddRef();
  m_pScanCtrl = platform::com::ComPtr<IScanCtrl>(scanCtrl);
  const std::string notice = lumetra::run::ReadAboutInfo(m_pScanCtrl.get(), offline, busy, m_Info);
  if (!notice.empty())
    platform::ui::messageBox(notice, "About Halvorn System",
                             platform::ui::MB_OK | platform::ui::MB_ICONWARNING);

  auto* title = new wxBoxSizer(wxHORIZONTAL);
  title->Add(new wxStaticBitmap(this, kIdPicture, ProductBitmap()), 0, wxRIGHT, 10);
  auto* name = new wxStaticText(this, wxID_ANY, "Tarsel Halvorn");
  name->SetFont(name->GetFont().Bold().Larger());
  title->Add(name, 0, wxALIGN_CENTRE_VERTICAL);

  auto* rows = new wxFlexGridSizer(2, 4, 12);
  const auto row = [&](const char* label, int id, const std::string& text) {
    rows->Add(new wxStaticText(this, wxID_ANY, label));
    rows->Add(new wxStaticText(this, id, ToWx(text)));
  };
  row("Movrak DLL:", kIdMovrak, m_Info.movrak);
  row("Lumetra DLL:", kIdLumetra, m_Info.lumetra);
  row("Runtime:", kIdRuntime, m_Info.runtime);
  row("Boot ROM:", kIdBootRom, m_Info.bootRom);
  row("Scan DSP:", kIdScanDsp, m_Info.scanDsp);
  row("VC DSP:", kIdVcDsp, m_Info.vcDsp);
  row("AF DSP:", kIdAfDsp, m_Info.afDsp);
  row("Scanner Model:", kIdModel, m_Info.model);
  row("Scanner SN:", kIdSerialNumber, m_Info.serialNumber);

  auto* all = new wxBoxSizer(wxVERTICAL);
  all->Add(title, 0, wxALL, 12);
  all->Add(new wxStaticText(this, kIdHost, ToWx(m_Info.host)), 0, wxLEFT | wxRIGHT | wxBOTTOM, 12);
  all->Add(rows, 0, wxLEFT | wxRIGHT, 12);
  auto* ok = new wxButton(this, wxID_OK, "OK");
  ok->SetDefault();
  all->Add(ok, 0, wxALIGN_RIGHT | wxALL, 12);
  SetSizerAndFit(all);
  CentreOnParent();
  ok->Bind(wxEVT_BUTTON, &CAboutDlg::OnOK, this);
}

CAboutDlg::~CAboutDlg() = default;

wxString CAboutDlg::Text(int controlId) const {
  const auto* text = dynamic_cast<const wxStaticText*>(FindWindow(controlId));
  return text ? text->GetLabel() : wxString();
}

void CAboutDlg::OnOK(wxCommandEvent&) {
  m_pScanCtrl.reset();
  if (IsModal())
    EndModal(wxID_OK);
  else
    Hide();
}
