// The control tree from skin markup: the controls the updater's skins use, and their attributes.
#include "SkinUI/skin_builder.h"

#include "SkinUI/skin_controls.h"
#include "SkinUI/skin_manager.h"
#include "SkinUI/skin_markup.h"
#include "SkinUI/skin_rect.h"
#include "SkinUI/skin_settings.h"
#include "SkinUI/skin_values.h"
#include "app/core/ascii.h"
#include "log/rklog.h"
#include "app/core/utf8.h"

namespace SkinUI {
namespace {

const long long kMaxSkinFileSize = 16LL << 20;

bool IsResourceElement(const std::wstring& name) {
    return EqualsIgnoreAsciiCase(name, L"Image") || EqualsIgnoreAsciiCase(name, L"Font") ||
           EqualsIgnoreAsciiCase(name, L"Default") || EqualsIgnoreAsciiCase(name, L"MultiLanguage");
}

const std::wstring* FindAttr(const MarkupElement& e, const wchar_t* name) {
    for (const auto& a : e.attributes)
        if (EqualsIgnoreAsciiCase(a.first, name)) return &a.second;
    return nullptr;
}

void ReadResources(const MarkupElement& root, CSkinManagerUI* manager) {
    for (const MarkupElement& e : root.children) {
        if (EqualsIgnoreAsciiCase(e.name, L"Font")) {
            int id = -1, size = 12;
            std::wstring face;
            bool hasId = false, bold = false, underline = false, italic = false, isDefault = false, shared = false;
            for (const auto& a : e.attributes) {
                if (EqualsIgnoreAsciiCase(a.first, L"id")) { id = ParseInteger(a.second); hasId = true; }
                else if (EqualsIgnoreAsciiCase(a.first, L"name")) face = a.second;
                else if (EqualsIgnoreAsciiCase(a.first, L"size")) size = ParseInteger(a.second);
                else if (EqualsIgnoreAsciiCase(a.first, L"bold")) bold = ParseBoolean(a.second);
                else if (EqualsIgnoreAsciiCase(a.first, L"underline")) underline = ParseBoolean(a.second);
                else if (EqualsIgnoreAsciiCase(a.first, L"italic")) italic = ParseBoolean(a.second);
                else if (EqualsIgnoreAsciiCase(a.first, L"default")) isDefault = ParseBoolean(a.second);
                else if (EqualsIgnoreAsciiCase(a.first, L"shared")) shared = ParseBoolean(a.second);
            }
            if (!hasId || id < 0 || face.empty()) continue;   // such a declaration adds no font
            manager->AddFont(id, face, size, bold, underline, italic, shared);
            if (isDefault) manager->SetDefaultFont(face, size, bold, underline, italic, shared);
        } else if (EqualsIgnoreAsciiCase(e.name, L"Image")) {
            // Preloads an image under its name.
            const std::wstring* name = FindAttr(e, L"name");
            if (!name || name->empty()) continue;
            ImageDescriptor d;
            d.name = *name;
            if (const std::wstring* type = FindAttr(e, L"restype")) {
                d.fromResource = true;
                d.resourceType = *type;
            }
            if (const std::wstring* mask = FindAttr(e, L"mask")) d.mask = ParseColour(*mask);
            manager->LoadSkinImage(d);
        } else if (EqualsIgnoreAsciiCase(e.name, L"Default")) {
            const std::wstring* name = FindAttr(e, L"name");
            const std::wstring* value = FindAttr(e, L"value");
            if (name && value) manager->AddDefaultAttributeList(*name, *value);
        }
    }
}

void ApplyWindowAttributes(const MarkupElement& root, CSkinManagerUI* manager) {
    for (const auto& a : root.attributes) {
        const std::wstring& n = a.first;
        if (EqualsIgnoreAsciiCase(n, L"size")) {
            SkinSize s = ParseSize(a.second);
            manager->SetInitialSize(s.cx, s.cy);
        } else if (EqualsIgnoreAsciiCase(n, L"caption")) {
            SkinRect r = ParseRect(a.second);
            manager->SetCaptionArea(ToRect(r));
        } else if (EqualsIgnoreAsciiCase(n, L"roundcorner")) {
            SkinSize s = ParseSize(a.second);
            manager->SetCornerSize(s.cx, s.cy);
        } else if (EqualsIgnoreAsciiCase(n, L"sizebox")) {
            SkinRect r = ParseRect(a.second);
            manager->SetSizeBox(ToRect(r));
        } else if (EqualsIgnoreAsciiCase(n, L"mininfo")) {
            SkinSize s = ParseSize(a.second);
            manager->SetMinInfo(s.cx, s.cy);
        } else if (EqualsIgnoreAsciiCase(n, L"maxinfo")) {
            SkinSize s = ParseSize(a.second);
            manager->SetMaxInfo(s.cx, s.cy);
        } else if (EqualsIgnoreAsciiCase(n, L"bktrans")) {
            manager->SetBackgroundTransparent(ParseBoolean(a.second));
        } else if (EqualsIgnoreAsciiCase(n, L"defaultfontcolor")) {
            manager->SetDefaultTextColour(ParseColour(a.second));
        } else if (EqualsIgnoreAsciiCase(n, L"disabledfontcolor")) {
            manager->SetDefaultDisabledColour(ParseColour(a.second));
        }
        // showdirty, alpha, linkfontcolor, linkhoverfontcolor, selectedcolor, visible and
        // anything else: accepted or ignored.
    }
}

// Builds the control of one element with its children; null (and nothing built) when the
// element makes no control.
CControlUI* BuildElement(const MarkupElement& e, IDialogBuilderCallback* callback, CSkinManagerUI* manager,
                         CControlUI* parent) {
    CControlUI* control = CreateControlByName(e.name);
    if (!control && callback) control = callback->MakeControl(e.name);
    if (!control) return nullptr;   // unknown element: skipped with its children

    auto* container = static_cast<IContainerUI*>(control->GetInterface(L"IContainer"));
    if (container) {
        for (const MarkupElement& child : e.children) BuildElement(child, callback, manager, control);
    }
    if (parent) {
        auto* parentBox = static_cast<IContainerUI*>(parent->GetInterface(L"IContainer"));
        if (parentBox) parentBox->Add(control);
    }
    control->BindManager(manager, parent, false);
    if (manager) {
        if (const std::wstring* defaults = manager->GetDefaultAttributeList(e.name)) {
            MarkupParser parser;
            std::vector<std::pair<std::wstring, std::wstring>> attrs;
            if (parser.ParseAttributeList(*defaults, attrs))
                for (const auto& a : attrs) control->ApplyAttribute(a.first, a.second);
        }
    }
    for (const auto& a : e.attributes) control->ApplyAttribute(a.first, a.second);
    control->BindManager(nullptr, parent, false);
    return control;
}

}  // namespace

CControlUI* CreateControlByName(const std::wstring& name) {
    if (EqualsIgnoreAsciiCase(name, L"VerticalLayout")) return new CVerticalLayoutUI();
    if (EqualsIgnoreAsciiCase(name, L"HorizontalLayout")) return new CHorizontalLayoutUI();
    if (EqualsIgnoreAsciiCase(name, L"Label")) return new CLabelUI();
    if (EqualsIgnoreAsciiCase(name, L"Button")) return new CButtonUI();
    if (EqualsIgnoreAsciiCase(name, L"Progress")) return new CProgressUI();
    if (EqualsIgnoreAsciiCase(name, L"Container")) return new CContainerUI();
    if (EqualsIgnoreAsciiCase(name, L"Control")) return new CControlUI();
    return nullptr;
}

CControlUI* CSkinBuilder::Build(unsigned id, const std::wstring& type, IDialogBuilderCallback* callback,
                                CSkinManagerUI* manager, CControlUI* parent) {
    std::string bytes;
    if (!ReadModuleResource(id, type, bytes)) {
        m_error = L"Skin resource not found";
        LOG_STREAM(rklog::kError) << "skin resource " << id << " of type " << WideToUtf8(type) << " not found";
        return nullptr;
    }
    return BuildMarkup(DecodeSkinText(bytes.data(), bytes.size()), callback, manager, parent);
}

CControlUI* CSkinBuilder::Build(const std::wstring& skin, IDialogBuilderCallback* callback, CSkinManagerUI* manager,
                                CControlUI* parent) {
    std::size_t first = skin.find_first_not_of(L" \t\r\n");
    if (first != std::wstring::npos && skin[first] == L'<') return BuildMarkup(skin, callback, manager, parent);

    const std::wstring folder =
        manager && !manager->GetResourceFolder().empty() ? manager->GetResourceFolder() : GetResourcePath();
    const std::wstring path = ResolveSkinFile(skin, folder);
    std::string bytes;
    if (!ReadSkinFile(path, kMaxSkinFileSize, bytes)) {
        m_error = L"Skin file not readable";
        LOG_STREAM(rklog::kError) << "skin file " << WideToUtf8(path) << " not readable";
        return nullptr;
    }
    return BuildMarkup(DecodeSkinText(bytes.data(), bytes.size()), callback, manager, parent);
}

CControlUI* CSkinBuilder::BuildMarkup(const std::wstring& markup, IDialogBuilderCallback* callback,
                                      CSkinManagerUI* manager, CControlUI* parent) {
    m_error.clear();
    MarkupParser parser;
    MarkupElement root;
    if (!parser.Parse(markup, root)) {
        m_error = parser.ErrorText();
        LOG_STREAM(rklog::kError) << "skin markup: " << WideToUtf8(parser.ErrorText()) << " at offset "
                                  << parser.ErrorOffset();
        return nullptr;
    }
    std::vector<const MarkupElement*> elements;
    if (EqualsIgnoreAsciiCase(root.name, L"Window")) {
        if (manager) ReadResources(root, manager);
        if (manager && manager->GetWindowHandle()) ApplyWindowAttributes(root, manager);
        for (const MarkupElement& e : root.children)
            if (!IsResourceElement(e.name)) elements.push_back(&e);
    } else {
        elements.push_back(&root);
    }
    CControlUI* first = nullptr;
    for (const MarkupElement* e : elements) {
        CControlUI* control = BuildElement(*e, callback, manager, parent);
        if (!control) continue;
        if (!first) first = control;
        else if (!parent) delete control;   // one root only: a second top-level control has no owner
    }
    if (!first) m_error = L"Skin has no controls";
    return first;
}

}  // namespace SkinUI
