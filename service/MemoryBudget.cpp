#include "service/MemoryBudget.h"

std::int64_t CMemoryBudget::InUse() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_nInUse;
}

CMemoryBudget::Outcome CMemoryBudget::Reserve(std::int64_t nBytes)
{
    if (nBytes > m_nTotal)
        return Outcome::TooLarge;
    std::unique_lock<std::mutex> guard(m_lock);
    m_released.wait(guard, [&] { return m_bStopped || m_nInUse + nBytes <= m_nTotal; });
    if (m_bStopped)
        return Outcome::Stopped;
    m_nInUse += nBytes;
    return Outcome::Reserved;
}

void CMemoryBudget::Release(std::int64_t nBytes)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_nInUse -= nBytes;
    }
    m_released.notify_all();
}

void CMemoryBudget::Stop()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_bStopped = true;
    }
    m_released.notify_all();
}

CMemoryBudget::CHold::CHold(CMemoryBudget* pBudget, std::int64_t nBytes)
    : m_pBudget(pBudget), m_nBytes(nBytes),
      m_outcome(pBudget != nullptr ? pBudget->Reserve(nBytes) : Outcome::Reserved)
{
}

CMemoryBudget::CHold::~CHold()
{
    if (m_pBudget != nullptr && m_outcome == Outcome::Reserved)
        m_pBudget->Release(m_nBytes);
}
