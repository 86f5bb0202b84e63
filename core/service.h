#pragma once

// How a service the program calls is replaced in tests, the same way for every service: `Real` answers
// until a test installs another implementation (not owned); installing nullptr brings `Real` back. `Real`
// is made on first use and lives for the run.
template <typename Service, typename Real> class ServiceSlot
{
public:
    Service& get()
    {
        if (mInstalled)
            return *mInstalled;
        static Real real;
        return real;
    }
    void install(Service* service) { mInstalled = service; }

private:
    Service* mInstalled = nullptr;
};
