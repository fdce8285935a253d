// Linked with one layer's every object and the layers below it only: it
// builds when that layer calls nothing above it.
int main()
{
    return 0;
}
