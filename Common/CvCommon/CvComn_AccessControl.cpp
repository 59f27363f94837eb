#include "CvComn_AccessControl.h"

namespace CvCommon {
namespace AccessControl {

SecurityAttributes::SecurityAttributes() : m_sa{}, m_dwKind(kDefaultKind), m_bInherit(false) {}

SECURITY_ATTRIBUTES* SecurityAttributes::Get() const {
    if (m_dwKind == kDefaultKind)
        return nullptr;
    m_sa.nLength = sizeof(m_sa);
    m_sa.lpSecurityDescriptor =
        m_vecDescriptor.empty() ? nullptr : const_cast<BYTE*>(m_vecDescriptor.data());
    m_sa.bInheritHandle = m_bInherit ? TRUE : FALSE;
    return &m_sa;
}

} // namespace AccessControl
} // namespace CvCommon
