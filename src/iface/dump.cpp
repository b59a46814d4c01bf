// The interface dump: every setting of the interface and the record of its host adapter, as one
// block of debug output.
#include "adapter/vf_adapter.h"
#include "host/adapter_list.h"
#include "host/address_text.h"
#include "iface/vifnet.h"
#include "trace/trace.h"
#include "wrenlib.h"

void CVifnet::DumpIFace() {
    if (!trace::Enabled()) return;
    // The interface lock first, then the output lock: the order every block keeps.
    plat::CSingleLock lock(m_csIFace);
    const std::wstring ipList = FormatIPAddrList();
    const std::wstring multicast = FormatMulticastList();
    const ADAPTER_INFO_LIST_ENTRY empty{};
    const ADAPTER_INFO_LIST_ENTRY& info = m_pAdapter ? m_pAdapter->GetAdapterInfo() : empty;
    double speed = info.nLinkSpeed / 10000.0;
    wchar_t unit = L'M';
    if (speed >= 1000.0) {
        speed /= 1000.0;
        unit = L'G';
    }
    trace::CBlock block;
    DebugTrace(
        L"---------------- Internal variables ----------------\n\n"
        L" Virtual Interface Ptr:           %p\n"
        L" Virtual Interface Name:          %s\n"
        L" Virtual Interface Type:          %s\n"
        L" Virtual Interface Flags:         %s\n"
        L" Host Physical MAC Address:       %s\n"
        L" Tarn Virtual  MAC Address:       %s\n"
        L" Tarn Virtual  Broadcast MAC:     %s\n",
        this, m_strIFaceName.c_str(), TypeName(), FormatIFaceFlags(GetIFaceFlags()).c_str(), MACText(m_HostPhysMACAddr).c_str(),
        MACText(m_TarnVirtMACAddr).c_str(), MACText(m_IFaceHWBroadcast).c_str());
    DebugTrace(
        L" Host Physical IP Address:        %s\n"
        L" Tarn Virtual  IP Addresses:      %s\n"
        L" Tarn Virtual Network Mask:       %s\n"
        L" Tarn Virtual Broadcast IP Addr:  %s\n"
        L" MTU (Maximum Transmission Unit): %d\n"
        L" Write Buffer Size:               %d\n"
        L" Read Buffer Size:                %d\n"
        L" Socket Notify Mode:              %s\n"
        L" Read Timeout:                    %d millisecs\n",
        IPText(m_HostPhysIPAddr).c_str(), ipList.c_str(), IPText(m_IFaceNetMask).c_str(), IPText(m_IFaceBroadcast).c_str(),
        m_nMTU, m_nWriteBufferSize, GetReadBufferSize(), (m_nOpenFlags & _O_VF32NOTIFY) ? L"yes" : L"no", m_nReadTimeout);
    DebugTrace(
        L" MAC Mode:                        %s (%s in force)\n"
        L" Multicast List:                  \"%s\"\n\n",
        MacModeName(m_nMacMode), SharedMAC() ? L"shared" : L"own", multicast.c_str());
    DebugTrace(
        L"----------- Physical Adapter information -----------\n\n"
        L" Adapter:     %p\n"
        L" AdapterName: %s\n"
        L" Description: %s\n"
        L" Connection:  %s\n\n",
        &info, WPText(info.szAdapterName, WP_ADAPTER_NAME_CHARS).c_str(),
        WPText(info.szDescription, WP_ADAPTER_DESCRIPTION_CHARS).c_str(),
        WPText(info.szConnectionName, WP_ADAPTER_CONNECTION_CHARS).c_str());
    DebugTrace(
        L" MAC Address: %s\n"
        L" Link Type:   %s\n"
        L" Link Speed:  %3.1f %cbps\n"
        L" IP Address:  %s (Mask: %s)\n"
        L" Gateway IP:  %s\n"
        L" Buffer Size: %d\n\n"
        L"-----------------------------------------------------\n\n",
        MACText(info.MACAddr).c_str(), GetNdisMediumName(info.nMedium), speed, unit, IPText(info.IPAddr).c_str(),
        IPText(info.IPMask).c_str(), IPText(info.GatewayIPAddr).c_str(), m_pAdapter ? m_pAdapter->GetAdapterBufferSize() : 0);
}
