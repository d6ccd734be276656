// Builds a control tree from skin markup.
#pragma once

#include <string>

#include "SkinUI/skin_defs.h"

namespace SkinUI {

class CSkinBuilder {
public:
    // A skin from the module's resources: resource `id` of resource type `type` (for example
    // "xml"; type names match without regard to case), UTF-8 markup.
    CControlUI* Build(unsigned id, const std::wstring& type, IDialogBuilderCallback* callback,
                      CSkinManagerUI* manager, CControlUI* parent = nullptr);
    // Markup text (starting with '<') or the name of a UTF-8 skin file (relative names are
    // taken in the resource path).
    CControlUI* Build(const std::wstring& skin, IDialogBuilderCallback* callback, CSkinManagerUI* manager,
                      CControlUI* parent = nullptr);
    // Builds from wide markup text.
    CControlUI* BuildMarkup(const std::wstring& markup, IDialogBuilderCallback* callback, CSkinManagerUI* manager,
                            CControlUI* parent = nullptr);

    // Why the last Build returned null (a parser error text, or a loading failure).
    const std::wstring& LastError() const { return m_error; }

private:
    std::wstring m_error;
};

// The control for an element name known to the toolkit, or null.
CControlUI* CreateControlByName(const std::wstring& elementName);

}  // namespace SkinUI
