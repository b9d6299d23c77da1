#include "platform/capture/DriverList.h"

#include "platform/capture/TestPatternDriver.h"
#include "platform/capture/V4l2Driver.h"

CDriverList CDriverList::Discover(const CV4l2Api& api)
{
    std::vector<std::unique_ptr<CCaptureDriver>> drivers;
    for (const std::string& path : api.listDevices())
    {
        CV4l2Driver::CProbe probe = CV4l2Driver::Probe(api, path);
        if (!probe.strCard.empty())
            drivers.push_back(std::make_unique<CV4l2Driver>(api, path, std::move(probe.strCard),
                                                            std::move(probe.strIdentity)));
    }
    drivers.push_back(std::make_unique<CTestPatternDriver>());
    return CDriverList(std::move(drivers));
}

bool CDriverList::GetDriverDescription(int nIndex, std::string& strName) const
{
    const CCaptureDriver* p = Driver(nIndex);
    if (p == nullptr)
        return false;
    strName = p->Description();
    return true;
}

CCaptureDriver* CDriverList::Driver(int nIndex) const
{
    if (nIndex < 0 || nIndex >= int(m_drivers.size()))
        return nullptr;
    return m_drivers[std::size_t(nIndex)].get();
}
