// A generic factory pair and a process-wide registry of factories for one product type.
// Seven type parameters: the product and up to six constructor arguments, unused ones void.
#pragma once

#include <QList>
#include <QPair>

namespace TQ {

namespace FactoryDetail {

template <typename... Ts> struct TypeList
{
};

// Drops the void placeholders so that create() takes exactly the real arguments.
template <typename Kept, typename... Rest> struct DropVoid;
template <typename... Kept> struct DropVoid<TypeList<Kept...>>
{
    using type = TypeList<Kept...>;
};
template <typename... Kept, typename T, typename... Rest>
struct DropVoid<TypeList<Kept...>, T, Rest...>
{
    using type = typename DropVoid<TypeList<Kept..., T>, Rest...>::type;
};
template <typename... Kept, typename... Rest> struct DropVoid<TypeList<Kept...>, void, Rest...>
{
    using type = typename DropVoid<TypeList<Kept...>, Rest...>::type;
};

template <typename Base, typename Product, typename Arguments> class Creator;
template <typename Base, typename Product, typename... Args>
class Creator<Base, Product, TypeList<Args...>> : public Base
{
public:
    virtual Product *create(Args... args) { return new Product(args...); }
};

} // namespace FactoryDetail

template <typename Product, typename A1 = void, typename A2 = void, typename A3 = void,
          typename A4 = void, typename A5 = void, typename A6 = void>
class FactoryBase
{
public:
    virtual ~FactoryBase() = default;
};

template <typename Product, typename A1 = void, typename A2 = void, typename A3 = void,
          typename A4 = void, typename A5 = void, typename A6 = void>
class Factory
    : public FactoryDetail::Creator<
          FactoryBase<Product, A1, A2, A3, A4, A5, A6>, Product,
          typename FactoryDetail::DropVoid<FactoryDetail::TypeList<>, A1, A2, A3, A4, A5, A6>::type>
{
};

// Created on first use with one owned default factory; products are made by the last entry.
template <typename Product, typename A1 = void, typename A2 = void, typename A3 = void,
          typename A4 = void, typename A5 = void, typename A6 = void>
class FactoryRegistry
{
public:
    typedef FactoryBase<Product, A1, A2, A3, A4, A5, A6> Base;
    typedef Factory<Product, A1, A2, A3, A4, A5, A6> FactoryType;

    static FactoryRegistry &instance()
    {
        static FactoryRegistry registry;
        return registry;
    }

    FactoryRegistry(const FactoryRegistry &) = delete;
    FactoryRegistry &operator=(const FactoryRegistry &) = delete;

    ~FactoryRegistry()
    {
        while (!m_entries.isEmpty()) {
            const QPair<Base *, bool> entry = m_entries.takeLast();
            if (entry.second)
                delete entry.first;
        }
    }

    // Only whole factories are accepted, so that last() never has to guess the type.
    void add(FactoryType *factory, bool owned)
    {
        if (factory)
            m_entries.append(qMakePair(static_cast<Base *>(factory), owned));
    }

    // Removes a factory that is not owned (a caller's own), newest first.
    bool remove(FactoryType *factory)
    {
        for (int i = m_entries.size() - 1; i >= 0; --i)
            if (m_entries.at(i).first == factory && !m_entries.at(i).second) {
                m_entries.removeAt(i);
                return true;
            }
        return false;
    }

    FactoryType *last() const { return static_cast<FactoryType *>(m_entries.last().first); }
    int count() const { return m_entries.size(); }

private:
    FactoryRegistry() { m_entries.append(qMakePair(static_cast<Base *>(new FactoryType), true)); }

    QList<QPair<Base *, bool>> m_entries;
};

} // namespace TQ
