// Common set-up of the tests that run the reader against the scripted data source.
#pragma once

#include "CoutCapture.h"
#include "Dia.h"
#include "DiaModule.h"
#include "FakeDia.h"

#include <gtest/gtest.h>

#include <memory>

namespace DiaTest {

using namespace TQ::EXTRACTORS::CPP::DIA;

inline const QString ProgPath = QStringLiteral("C:\\dir\\prog.exe");

class FakeDiaTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        FakeDia::reset();
        m_baseline = FakeDia::liveObjects();
    }

    void TearDown() override
    {
        m_dia.reset();
        // Every reference the reader took must have been given back.
        EXPECT_EQ(FakeDia::liveObjects(), m_baseline);
    }

    FakeDia::Image &image(const QString &path = ProgPath) { return FakeDia::script().images[path]; }

    Dia *open(const QList<ModInfo> &infos)
    {
        m_dia.reset(static_cast<Dia *>(createDia(infos)));
        return m_dia.get();
    }
    Dia *open(quint32 loadAddress = 0, const QString &path = ProgPath)
    {
        return open(QList<ModInfo>() << ModInfo(loadAddress, path));
    }
    DiaModule *module(int index = 0) { return dynamic_cast<DiaModule *>(m_dia->modules.at(index)); }

    std::unique_ptr<Dia> m_dia;
    int m_baseline = 0;
};

} // namespace DiaTest
